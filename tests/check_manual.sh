#!/bin/sh
# The manuals render without a single groff warning, and the first one's
# table of surfaces gives every name the tool lists with the right number,
# hex number and flags value.
# Usage: check_manual.sh lumpsmith_binary manual_page [other_page...]
set -eu
command -v groff >/dev/null || { echo "skipped: groff is not installed"; exit 77; }
binary=$1
page=$2
shift
for manual in "$@"; do
    warnings=$(groff -t -man -ww -z "$manual" 2>&1)
    if [ -n "$warnings" ]; then
        printf 'groff warns about %s:\n%s\n' "$manual" "$warnings"
        exit 1
    fi
done
names=$("$binary" -sl | sed -n 's/^  \* //p')
[ "$(printf '%s\n' "$names" | wc -l)" -eq 32 ] || { echo "expected 32 surface names"; exit 1; }
index=0
for name in $names; do
    row=$(printf '%s\t%d\t%02x\t0x%08x' "$name" "$index" "$index" $((index << 20)))
    grep -qxF "$row" "$page" || { echo "the manual's table lacks the row: $row"; exit 1; }
    index=$((index + 1))
done
