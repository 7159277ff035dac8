#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# What the requester library shows of itself to the programs that link it:
#   1. libqvkclient.so exports exactly the functions of its version script,
#      each under the version node that lists it;
#   2. libqvkclient.a defines no global symbol but those functions (none of
#      the library's C++ inside can clash with a program's own names);
#   3. installed, the archive links into a C program, fully static, with
#      what `pkg-config --static --libs qvkclient` prints; as root the
#      program runs too (in a private IPC namespace, where it finds no
#      daemon and says so). Not in a sanitizer build (QVK_STATIC_LINK=0),
#      whose objects need the sanitizers' run-time, which links only
#      dynamically.
#
#   check_library_exports.sh CMAKE BUILD_DIR SO ARCHIVE VERSION_SCRIPT CONSUMER_C CC [CFLAGS...]
set -eu
cmake=$1 build=$2 so=$3 archive=$4 map=$5 consumer=$6 cc=$7
shift 7
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

# Each node's name, and each function as name@@node.
awk '/^[A-Z][A-Z0-9_.]* [{]/ { node = $1; print node "@@" node }
     /^ *qvk_[a-z_]*;$/ { sub(/^ */, ""); sub(/;$/, ""); print $0 "@@" node }' "$map" | sort > "$scratch/wanted"
sed -n 's/@@.*//p' "$scratch/wanted" | grep '^qvk_' | sort > "$scratch/listed"
nodes=$(grep -c '^[A-Z]' "$scratch/wanted" || true)
if [ "$nodes" -eq 0 ] || [ ! -s "$scratch/listed" ]; then
    echo "found no version node or no function in $map: the check is broken"
    exit 1
fi

nm -D --defined-only --with-symbol-versions "$so" | awk '{ print $3 }' | sort > "$scratch/exported"
# (older nm prints a node as "NODE" alone)
sed -i 's/^\([A-Z][A-Z0-9_.]*\)$/\1@@\1/' "$scratch/exported"
sort -o "$scratch/exported" "$scratch/exported"
if ! diff "$scratch/wanted" "$scratch/exported" > "$scratch/diff"; then
    echo "$so: exports differ from the version script (< wanted, > exported):"
    cat "$scratch/diff"
    status=1
fi

nm -g --defined-only "$archive" | awk 'NF == 3 { print $2, $3 }' | sort > "$scratch/archived"
sed 's/^/T /' "$scratch/listed" > "$scratch/wanted_archive"
if ! diff "$scratch/wanted_archive" "$scratch/archived" > "$scratch/diff"; then
    echo "$archive: global symbols other than the qvk_ functions (< wanted, > defined):"
    cat "$scratch/diff"
    status=1
fi

if [ "${QVK_STATIC_LINK:-1}" = 0 ]; then
    echo "no static link in this (sanitizer) build" >&2
    exit $status
fi
DESTDIR=$scratch/root "$cmake" --install "$build" --prefix /usr > /dev/null
pc=$(find "$scratch/root" -name qvkclient.pc)
flags=$(PKG_CONFIG_SYSROOT_DIR=$scratch/root PKG_CONFIG_LIBDIR=$(dirname "$pc") \
    pkg-config --cflags --static --libs qvkclient)
echo "pkg-config --cflags --static --libs qvkclient: $flags" >&2
# shellcheck disable=SC2086
if ! "$cc" "$@" -std=c99 -Wall -Wextra -Werror -static -o "$scratch/consumer" "$consumer" $flags; then
    echo "a C program does not link the archive statically with pkg-config's flags"
    exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
    out=$(unshare --ipc "$scratch/consumer" /dev/QVUsbKey0 2>&1) && ran=0 || ran=$?
    case $ran:$out in
        "1:consumer: connect: qvkserver is not running"*) ;;
        *) echo "the static program did not run as expected (status $ran): $out"; status=1 ;;
    esac
fi
exit $status
