#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Every option that a program's own help lists is in its manual page, and
# every option that the page's SYNOPSIS, COMMANDS and OPTIONS sections list
# is in the help.
#
#   check_man_options.sh MAN_DIR PAGE=PROGRAM [HELP_ARGUMENT] ...
#
# e.g. qvkctl.1=build/client/qvkctl/qvkctl; the help is what the program
# prints with --help, or with nothing when an argument follows the program
# as "-" (a program whose usage text is its help).
set -eu
man_dir=$1
shift

# Option words (-x, --long, -add) of standard input, one per line, sorted.
option_words() {
    grep -o -E '(^|[^A-Za-z0-9_-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]*//' | sort -u
}

# The SYNOPSIS, COMMANDS and OPTIONS sections of a page, as plain text.
option_sections() {
    LC_ALL=C MANWIDTH=200 man -E ascii -l "$1" 2>/dev/null | col -b |
        awk '/^[A-Z][A-Z -]*$/ { keep = ($0 == "SYNOPSIS" || $0 == "COMMANDS" || $0 == "OPTIONS"); next }
             keep { print }'
}

status=0
while [ $# -gt 0 ]; do
    page=${1%%=*}
    program=${1#*=}
    shift
    help_argument=--help
    if [ $# -gt 0 ] && [ "$1" = - ]; then
        help_argument=
        shift
    fi
    help=$(mktemp)
    documented=$(mktemp)
    # shellcheck disable=SC2086 # no argument at all when it is empty
    "$program" $help_argument 2>&1 | option_words >"$help" || true
    option_sections "$man_dir/$page" | option_words >"$documented"
    if [ ! -s "$help" ]; then
        echo "$page: $program printed no option"
        status=1
    fi
    missing=$(comm -23 "$help" "$documented")
    extra=$(comm -13 "$help" "$documented")
    if [ -n "$missing" ]; then
        echo "$page: options its program's help lists but the page does not:" $missing
        status=1
    fi
    if [ -n "$extra" ]; then
        echo "$page: options the page lists but its program's help does not:" $extra
        status=1
    fi
    rm -f "$help" "$documented"
done
exit $status
