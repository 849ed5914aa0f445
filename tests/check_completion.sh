#!/bin/sh
# The bash completion offers the five switches after "lumpsmith -", maps
# and directories where a map goes, and every file where a surface file goes;
# likewise for the companion commands, with archives where sources go.
# Usage: check_completion.sh completion/lumpsmith.bash
set -eu
command -v bash >/dev/null || { echo "skipped: bash is not installed"; exit 77; }
script=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
touch a.bsp b.txt c.pk3
mkdir maps
complete() {
    # $1: the words typed, the last one being completed
    bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); $(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/"); printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "' \
        complete "$script" "$@"
}
# Each case: what is typed (the last word being completed) and what is offered.
while IFS='|' read -r typed expected; do
    eval "got=\$(complete $typed)"
    [ "$got" = "$expected" ] || { echo "$typed completed to: $got"; exit 1; }
done <<'CASES'
lumpsmith -|-se -si -sl -tc -tl 
lumpsmith -tl ''|a.bsp maps 
lumpsmith -se ''|a.bsp maps 
lumpsmith -si ''|a.bsp maps 
lumpsmith -tc ''|a.bsp maps 
lumpsmith -se a.bsp ''|a.bsp b.txt c.pk3 maps 
lumpsmith -si a.bsp ''|a.bsp b.txt c.pk3 maps 
lumpsmith -tc a.bsp ''|maps 
lumpsmith -sl ''| 
lumpsmith-preview ''|a.bsp maps 
lumpsmith-preview a.bsp ''|a.bsp b.txt c.pk3 maps 
lumpsmith-check ''|a.bsp b.txt c.pk3 maps 
lumpsmith-check b.txt ''|a.bsp c.pk3 maps 
lumpsmith-check b.txt a.bsp ''|a.bsp c.pk3 maps 
lumpsmith-pk3 ''|a.bsp b.txt c.pk3 maps 
lumpsmith-pk3 maps c.pk3 ''|a.bsp b.txt c.pk3 maps 
lumpsmith-aas ''|a.bsp maps 
lumpsmith-aas a.bsp ''|a.bsp maps 
lumpsmith-rules ''|a.bsp b.txt c.pk3 maps 
lumpsmith-rules b.txt ''|a.bsp c.pk3 maps 
lumpsmith-plan ''|a.bsp b.txt c.pk3 maps 
lumpsmith-plan --|--frame --heights --size --surfaces 
lumpsmith-plan --frame ''|all 
lumpsmith-plan --size ''| 
lumpsmith-plan --surfaces b.txt c.pk3 ''|a.bsp b.txt c.pk3 maps 
CASES
