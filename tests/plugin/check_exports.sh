#!/bin/sh
# The plug-in's dynamic symbol table must hold exactly the intended exports
# (functions defined in the library), and the library must need only libc.
set -eu
library=$1
expected=$2
# "sanitized": the sanitizer runtimes add their own dependencies and symbols,
# so only the exported functions are compared.
build=${3:-plain}

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

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v -x 'libc\.so\.6' || true)
if [ -n "$needed" ]; then
    echo "the plug-in must need only libc; it also needs: $needed"
    exit 1
fi
echo "exports and dependencies as intended"
