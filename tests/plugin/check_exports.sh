#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The plug-in's dynamic symbol table must hold exactly the intended exports
# (functions defined in the library), and the library must need only libc
# and the libraries named in the fourth argument (space-separated sonames).
set -eu
library=$1
expected=$2
# "sanitized": the sanitizer runtimes add their own dependencies and symbols,
# so only the exported functions are compared.
build=${3:-plain}
allowed="libc.so.6 ${4:-}"

actual=$(nm -D --defined-only "$library" | awk '$2 == "T" { print $3 }' | sort)
wanted=$(sort "$expected")
if [ "$actual" != "$wanted" ]; then
    echo "exported functions differ from $expected:"
    printf '%s\n' "$actual" > /tmp/qvk_exports.$$
    printf '%s\n' "$wanted" | diff - /tmp/qvk_exports.$$ || true
    rm -f /tmp/qvk_exports.$$
    exit 1
fi

if [ "$build" = sanitized ]; then
    echo "exported functions as intended (sanitized build: dependencies not checked)"
    exit 0
fi

other=$(nm -D --defined-only "$library" | awk '$2 != "T" && $2 != "A" { print }')
if [ -n "$other" ]; then
    echo "unexpected non-function exports:"
    echo "$other"
    exit 1
fi

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
extra=
for library_needed in $needed; do
    case " $allowed " in
        *" $library_needed "*) ;;
        *) extra="$extra $library_needed" ;;
    esac
done
if [ -n "$extra" ]; then
    echo "the plug-in must need only $allowed; it also needs:$extra"
    exit 1
fi
echo "exports and dependencies as intended"
