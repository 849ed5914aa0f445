#!/bin/sh
# The bash completion offers the five switches after "lumpsmith -", maps
# and directories where a map goes, and every file where a surface file goes;
# likewise for the companion commands, with archives for lumpsmith-pk3.
# Usage: check_completion.sh completion/lumpsmith.bash
set -eu
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
got=$(complete lumpsmith -)
[ "$got" = "-se -si -sl -tc -tl " ] || { echo "lumpsmith - completed to: $got"; exit 1; }
for map_position in "-tl ''" "-se ''" "-si ''" "-tc ''"; do
    eval "got=\$(complete lumpsmith $map_position)"
    [ "$got" = "a.bsp maps " ] || { echo "lumpsmith $map_position completed to: $got"; exit 1; }
done
for file_position in "-se a.bsp ''" "-si a.bsp ''"; do
    eval "got=\$(complete lumpsmith $file_position)"
    [ "$got" = "a.bsp b.txt c.pk3 maps " ] || { echo "lumpsmith $file_position completed to: $got"; exit 1; }
done
got=$(complete lumpsmith -tc a.bsp '')
[ "$got" = "maps " ] || { echo "lumpsmith -tc a.bsp completed to: $got"; exit 1; }
got=$(complete lumpsmith -sl '')
[ "$got" = " " ] || { echo "lumpsmith -sl completed to: $got"; exit 1; }
for typed in "lumpsmith-preview ''" "lumpsmith-check b.txt ''" "lumpsmith-check b.txt a.bsp ''"; do
    eval "got=\$(complete $typed)"
    [ "$got" = "a.bsp maps " ] || { echo "$typed completed to: $got"; exit 1; }
done
for typed in "lumpsmith-pk3 ''" "lumpsmith-pk3 c.pk3 b.txt ''"; do
    eval "got=\$(complete $typed)"
    [ "$got" = "c.pk3 maps " ] || { echo "$typed completed to: $got"; exit 1; }
done
got=$(complete lumpsmith-check '')
[ "$got" = "a.bsp b.txt c.pk3 maps " ] || { echo "lumpsmith-check completed to: $got"; exit 1; }
