#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Every relative link of the Markdown pages leads somewhere: the file or
# directory exists, and an anchor (#...) names a heading of the page it
# points into, as GitHub makes anchors of headings. Links with a scheme
# (https:, mailto:) are not followed. Code blocks and code spans are not
# looked into.
#
# check_links.sh SOURCE_DIR
set -euf
root=$1
cd "$root"

# The anchors of a Markdown page's headings, one per line.
anchors() {
    awk '
        /^(```|~~~)/ { fenced = !fenced; next }
        fenced || !/^#+ / { next }
        {
            text = $0
            sub(/^#+ +/, "", text)
            sub(/ +#* *$/, "", text)
            text = tolower(text)
            gsub(/[^a-z0-9 _-]/, "", text)
            gsub(/ /, "-", text)
            if (seen[text]++) text = text "-" (seen[text] - 1)
            print text
        }' "$1"
}

# The link targets of a Markdown page: inline links and reference
# definitions, outside code.
targets() {
    awk '
        /^(```|~~~)/ { fenced = !fenced; next }
        fenced || /^(    |\t)/ { next }
        {
            line = $0
            gsub(/`[^`]*`/, "", line)
            if (match(line, /^ *\[[^]]+\]: */)) {
                rest = substr(line, RLENGTH + 1)
                sub(/ .*/, "", rest)
                print rest
                next
            }
            while (match(line, /\]\([^) ]+( +"[^"]*")?\)/)) {
                target = substr(line, RSTART + 2, RLENGTH - 3)
                sub(/ +".*/, "", target)
                print target
                line = substr(line, RSTART + RLENGTH)
            }
        }' "$1"
}

status=0
checked=0
pages=$(find . -name '*.md' -not -path './.git/*' -not -path './build*' | sort)
for page in $pages; do
    dir=$(dirname "$page")
    for target in $(targets "$page"); do
        case $target in
            *:*) continue ;;  # a scheme: https://, mailto:
        esac
        checked=$((checked + 1))
        path=${target%%#*}
        anchor=
        case $target in *#*) anchor=${target#*#} ;; esac
        if [ -z "$path" ]; then
            file=$page
        else
            file=$dir/$path
        fi
        if [ ! -e "$file" ]; then
            echo "$page: link to $target: $file does not exist"
            status=1
            continue
        fi
        if [ -n "$anchor" ]; then
            case $file in
                *.md) ;;
                *) continue ;;
            esac
            if ! anchors "$file" | grep -qxF "$anchor"; then
                echo "$page: link to $target: no heading of $file has the anchor #$anchor"
                status=1
            fi
        fi
    done
done
echo "$(echo "$pages" | wc -w) pages, $checked relative links checked"
exit $status
