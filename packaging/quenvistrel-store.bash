# bash completion for quenvistrel-store                   -*- shell-script -*-
#
# Installed as share/bash-completion/completions/quenvistrel-store, where
# bash-completion loads it on first use; it also works when sourced directly.

_quenvistrel_store() {
    COMPREPLY=()
    local cur=${COMP_WORDS[COMP_CWORD]} command= i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} != -* ]]; then
            command=${COMP_WORDS[i]}
            break
        fi
    done
    if [[ $cur == -* ]]; then
        local options="-h --help"
        [[ -z $command ]] && options="-h --help -V --version"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $command in
        "")
            COMPREPLY=($(compgen -W "copy help" -- "$cur"))
            ;;
        copy)
            # FROM and TO: state files, or database locations typed out.
            local IFS=$'\n'
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            ;;
        help)
            COMPREPLY=($(compgen -W "copy help" -- "$cur"))
            ;;
    esac
} &&
    complete -F _quenvistrel_store quenvistrel-store

# ex: filetype=sh
