# bash completion for lumpsmith: the five switches, then the files each
# takes: maps (*.bsp, and directories to find them in), surface files (any
# file) and, for -tc, directories.
_lumpsmith()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W '-tl -tc -se -si -sl' -- "$cur")
        return 0
    fi
    local kind=
    case "${COMP_WORDS[1]}:$COMP_CWORD" in
        -tl:2 | -tc:2 | -se:2 | -si:2) kind=map ;;
        -se:3 | -si:3) kind=file ;;
        -tc:3 | -tc:4) kind=directory ;;
    esac
    [ -n "$kind" ] || return 0
    compopt -o filenames 2>/dev/null
    case $kind in
        map) mapfile -t COMPREPLY < <(compgen -d -- "$cur"; compgen -f -X '!*.bsp' -- "$cur" | while read -r f; do [ -d "$f" ] || printf '%s\n' "$f"; done) ;;
        file) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        directory) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    esac
    return 0
}
complete -F _lumpsmith lumpsmith
