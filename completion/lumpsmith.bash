# bash completion for lumpsmith and its companion commands. lumpsmith: the
# five switches, then the files each takes: maps (*.bsp, and directories to
# find them in), surface files (any file) and, for -tc, directories.
# lumpsmith-preview MAP SURFACE_FILE, lumpsmith-check SURFACE_FILE
# [MAP|ARCHIVE|FOLDER...], lumpsmith-pk3 SOURCE... SURFACE_FILE OUTPUT (any
# file, as sources and the surface file take the same places), and
# lumpsmith-aas MAP..., lumpsmith-rules RULES [MAP|ARCHIVE|FOLDER...]
# (archives: *.pk3, in any case), and lumpsmith-plan's options, then any
# file (sources and its output picture or folder take the same places).
_lumpsmith_offer()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    [ -n "$1" ] || return 0
    compopt -o filenames 2>/dev/null
    case $1 in
        map | source) mapfile -t COMPREPLY < <(compgen -d -- "$cur"; { compgen -f -X '!*.bsp' -- "$cur"; [ "$1" = map ] || compgen -f -X '!*.[pP][kK]3' -- "$cur"; } | while read -r f; do [ -d "$f" ] || printf '%s\n' "$f"; done) ;;
        file) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        directory) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    esac
}

_lumpsmith()
{
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W '-tl -tc -se -si -sl' -- "${COMP_WORDS[COMP_CWORD]}")
        return 0
    fi
    local kind=
    case "${COMP_WORDS[0]##*/}:${COMP_WORDS[1]}:$COMP_CWORD" in
        lumpsmith:-tl:2 | lumpsmith:-tc:2 | lumpsmith:-se:2 | lumpsmith:-si:2) kind=map ;;
        lumpsmith:-se:3 | lumpsmith:-si:3) kind=file ;;
        lumpsmith:-tc:3 | lumpsmith:-tc:4) kind=directory ;;
    esac
    _lumpsmith_offer "$kind"
    return 0
}

_lumpsmith_companion()
{
    COMPREPLY=()
    local kind=
    case "${COMP_WORDS[0]##*/}:$COMP_CWORD" in
        lumpsmith-preview:1) kind=map ;;
        lumpsmith-preview:2 | lumpsmith-check:1 | lumpsmith-rules:1 | lumpsmith-pk3:*) kind=file ;;
        lumpsmith-check:* | lumpsmith-rules:*) kind=source ;;
        lumpsmith-aas:*) kind=map ;;
        lumpsmith-plan:*)
            case ${COMP_WORDS[COMP_CWORD - 1]}:${COMP_WORDS[COMP_CWORD]} in
                --frame:*) mapfile -t COMPREPLY < <(compgen -W all -- "${COMP_WORDS[COMP_CWORD]}"); return 0 ;;
                --heights:* | --size:*) return 0 ;;
                *:-*) mapfile -t COMPREPLY < <(compgen -W '--surfaces --heights --frame --size' -- "${COMP_WORDS[COMP_CWORD]}"); return 0 ;;
            esac
            kind=file ;;
    esac
    _lumpsmith_offer "$kind"
    return 0
}
complete -F _lumpsmith lumpsmith
complete -F _lumpsmith_companion lumpsmith-preview lumpsmith-check lumpsmith-pk3 lumpsmith-aas lumpsmith-rules lumpsmith-plan
