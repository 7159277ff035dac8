#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The developer guide's sample program: quoted whole by the guide, compiled
# as a module author would, strictly (C99, every warning an error), against
# the installed header and the shared libqvkclient; then, as root, run against qvkserver serving one
# virtual token, where it must list the token and get its eight random bytes
# with status 9000, and without a daemon, where it must say so and fail.
#
# example_program_test.sh SOURCE_DIR WORK_DIR LIBQVKCLIENT CC [CFLAGS...] \
#     -- [QVKSERVER PLUGIN_DIR QVKVTOKEN]
set -eu
source_dir=$1 work=$2 library=$3 cc=$4
shift 4
flags=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    flags="$flags $1"
    shift
done
[ $# -gt 0 ] && shift

rm -rf "$work"
mkdir -p "$work"

# The guide quotes the program whole, right after its marker line.
awk '/^<!-- The block below is docs\/examples\/token_info.c/ { marker = 1; next }
     marker && /^```c$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside' "$source_dir/docs/developers.md" >"$work/quoted.c"
if ! cmp -s "$work/quoted.c" "$source_dir/docs/examples/token_info.c"; then
    echo "FAIL: docs/developers.md does not quote docs/examples/token_info.c as it is:"
    diff "$work/quoted.c" "$source_dir/docs/examples/token_info.c" || true
    exit 1
fi
program=$work/token_info
# shellcheck disable=SC2086
"$cc" $flags -std=c99 -pedantic -Wall -Wextra -Wconversion -Werror \
    -I"$source_dir/client" -I"$source_dir/protocol" \
    -o "$program" "$source_dir/docs/examples/token_info.c" \
    "$library" -Wl,-rpath,"$(dirname "$library")"
echo "compiled and linked: $program"

if [ $# -lt 3 ]; then
    echo "no virtual token in this tree: not run"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: running the sample needs root (private PID, mount and IPC namespaces)"
    exit 77
fi
server=$1 plugins=$2 vtoken=$3

# No daemon in a fresh IPC namespace: a clear message and status 1.
set +e
output=$(unshare --ipc -- "$program" 2>&1)
status=$?
set -e
echo "$output"
if [ "$status" -ne 1 ] || ! echo "$output" | grep -q "qvk_connect: "; then
    echo "FAIL: without a daemon the sample should fail at qvk_connect with status 1 (got $status)"
    exit 1
fi

# One virtual token behind the kernel-driver family, all in namespaces that
# end with this test.
export QVK_EXAMPLE_SERVER="$server" QVK_EXAMPLE_PLUGINS="$plugins" QVK_EXAMPLE_PROGRAM="$program"
output=$(unshare --pid --fork --mount --mount-proc -- \
    bash "$source_dir/scripts/vtoken-dev.sh" --vtoken "$vtoken" -n 0 -- sh -c '
        # An installed qvkserver plug-in would be found before the built one.
        if [ -d /usr/lib/kestrane/qvkserver ]; then
            mount -t tmpfs tmpfs /usr/lib/kestrane/qvkserver
        fi
        (cd "$QVK_EXAMPLE_PLUGINS" && "$QVK_EXAMPLE_SERVER") || exit 10
        "$QVK_EXAMPLE_PROGRAM"' 2>&1)
echo "$output"
if ! echo "$output" | grep -q "^token 0: /dev/QVUsbKey0$"; then
    echo "FAIL: the sample did not list /dev/QVUsbKey0"
    exit 1
fi
if ! echo "$output" | grep -Eq "^/dev/QVUsbKey0:( [0-9A-F]{2}){8} -> 9000$"; then
    echo "FAIL: the sample did not print eight bytes and status 9000"
    exit 1
fi
echo "PASS"
