#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The installed headers of the requester library (qvkclient.h and the
# qvk_protocol.h it includes) may define only names that start with qvk_ or
# QVK_: a program that includes them keeps every other name for itself.
#   1. Every macro, enumerator, type, tag and function they declare is
#      prefixed.
#   2. A C program that includes qvkclient.h can define, as its own, every
#      short name that the source tree gives the protocol (qvk_segment.h).
set -eu
cc=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

for header in "$source_dir/client/qvkclient.h" "$source_dir/protocol/qvk_protocol.h"; do
    # Comments out, directives kept.
    "$cc" -fpreprocessed -dD -E -P "$header" > "$scratch/text" 2>/dev/null
    {
        sed -n 's/^#define \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$scratch/text"
        # enumerators: the first word of each item of every enum's braces
        grep -v '^#' "$scratch/text" | tr '\n' ' ' | grep -o -E 'enum[^{;]*\{[^}]*\}' |
            sed 's/^[^{]*{//; s/}$//' | tr ',' '\n' |
            sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p'
        # types: "} name;" and "typedef ... name;"
        sed -n 's/^}[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' "$scratch/text"
        sed -n 's/^typedef .*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' "$scratch/text"
        # tags
        grep -o -E '(struct|enum|union)[[:space:]]+[A-Za-z_][A-Za-z0-9_]*' "$scratch/text" |
            awk '{ print $2 }'
        # functions: a name right before "(" (the attribute's words aside)
        grep -v '^#' "$scratch/text" | grep -o -E '[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(' |
            tr -d '( \t' | grep -v -x -E '__attribute__|visibility|extern|sizeof|defined'
    } | sort -u > "$scratch/names"
    if [ ! -s "$scratch/names" ]; then
        echo "found no names in $header: the check is broken"
        exit 1
    fi
    unprefixed=$(grep -v -E '^(qvk_|QVK_)' "$scratch/names" |
        grep -v -x -E 'extern|const|char|int|unsigned|void|size_t|uint8_t|uint32_t' || true)
    if [ -n "$unprefixed" ]; then
        echo "$header defines names without the qvk_ / QVK_ prefix:"
        echo "$unprefixed"
        status=1
    fi
    echo "$header: $(wc -l < "$scratch/names") names checked" >&2
done

# The tree's short names, free for a program's own use.
short=$(sed -n 's/^[[:space:]]*\([A-Z][A-Z0-9_]*\) = QVK_.*/\1/p' "$source_dir/protocol/qvk_segment.h")
if [ -z "$short" ]; then
    echo "found no short names in qvk_segment.h: the check is broken"
    exit 1
fi
{
    echo '#include "qvkclient.h"'
    for name in $short; do echo "int $name;"; done
    echo 'int main(void) { return 0; }'
} > "$scratch/own_names.c"
if ! "$cc" -std=c99 -Wall -Werror -I "$source_dir/client" -I "$source_dir/protocol" \
        -c "$scratch/own_names.c" -o "$scratch/own_names.o"; then
    echo "qvkclient.h takes names a program may define (see above)"
    status=1
fi
exit $status
