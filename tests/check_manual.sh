#!/bin/sh
# The manual renders without a single groff warning and names every surface
# the tool knows. Usage: check_manual.sh lumpsmith_binary manual_page
set -eu
binary=$1
page=$2
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
    exit 1
fi
names=$("$binary" -sl | sed -n 's/^  \* //p')
[ "$(printf '%s\n' "$names" | wc -l)" -eq 32 ] || { echo "expected 32 surface names"; exit 1; }
listed=$(sed -n '/^\.SH SURFACE NAMES/,/^\.SH/p' "$page" | tr '\n,.:' '    ')
for name in $names; do
    case " $listed " in
    *" $name "*) ;;
    *) echo "the manual does not name the surface $name"; exit 1 ;;
    esac
done
