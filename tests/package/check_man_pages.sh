#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# Every installed program and the C API have a manual page, named as the
# program, and man(1) formats each without a warning.
set -eu
man_dir=$1
status=0
for page in qvkserver.8 Keyrill.8 qvkctl.1 qvkvtoken.1 libqvkclient.3; do
    file=$man_dir/$page
    if [ ! -f "$file" ]; then
        echo "missing manual page $page"
        status=1
        continue
    fi
    name=${page%.*}
    section=${page##*.}
    if ! grep -q -E "^\\.TH $(echo "$name" | tr '[:lower:]' '[:upper:]') $section " "$file"; then
        echo "$page: its .TH line does not name $name($section)"
        status=1
    fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page: man --warnings says:"
        echo "$warnings"
        status=1
    fi
done
exit $status
