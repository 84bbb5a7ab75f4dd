# bash completion for quenvistrelctl                      -*- shell-script -*-
#
# Installed as share/bash-completion/completions/quenvistrelctl, where
# bash-completion loads it on first use; it also works when sourced directly.
# packaging/tests/grammar.sh checks it against the tool's own help.

_quenvistrelctl_commands="validate ingest rollups risk alert-add alert-eval retention summary alerts rules indicators rule-disable rule-enable indicator-ack metrics help"
_quenvistrelctl_global_options="--state --json -h --help -V --version"
# Options that take a value; the word after one of them is that value.
_quenvistrelctl_value_options="--state --tenant --threshold --event-type --cooldown --days --alertmanager --rule --since --textfile --workspace --batch-events --batch-seconds"

# The options of one command, besides the global ones.
_quenvistrelctl_command_options() {
    case $1 in
        ingest) echo "--tenant --workspace --batch-events --batch-seconds --skip-malformed" ;;
        rollups) echo "--tenant" ;;
        risk) echo "--threshold" ;;
        alert-add) echo "--tenant --event-type --threshold --cooldown" ;;
        alert-eval) echo "--alertmanager" ;;
        retention) echo "--days" ;;
        alerts) echo "--tenant --rule --since" ;;
        rules | indicators) echo "--tenant" ;;
        metrics) echo "--textfile" ;;
    esac
}

# Adds to COMPREPLY the files and directories that start with $1; with $2
# ("fixtures"), only the files named as fixtures (.json, .jsonl or .ndjson,
# maybe compressed) and every directory, to descend.
_quenvistrelctl_files() {
    local cur=$1 only=${2-} IFS=$'\n' f base suffix
    compopt -o filenames 2>/dev/null
    if [[ -z $only ]]; then
        COMPREPLY+=($(compgen -f -- "$cur"))
        return
    fi
    COMPREPLY+=($(compgen -d -- "$cur"))
    for f in $(compgen -f -- "$cur"); do
        [[ -d $f ]] && continue
        base=$f
        for suffix in .gz .zst .zstd; do
            [[ $base == *"$suffix" ]] && { base=${base%"$suffix"}; break; }
        done
        case $base in
            *.json | *.jsonl | *.ndjson) COMPREPLY+=("$f") ;;
        esac
    done
}

_quenvistrelctl() {
    COMPREPLY=()
    local cword=$COMP_CWORD
    local cur=${COMP_WORDS[cword]} prev=${COMP_WORDS[cword-1]}

    # "--opt=value" arrives as three words when "=" breaks words: complete
    # the value as if it followed "--opt" as a separate word.
    if [[ $cur == = ]]; then
        prev=${COMP_WORDS[cword-1]}
        cur=
    elif [[ $prev == = && $cword -ge 2 ]]; then
        prev=${COMP_WORDS[cword-2]}
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    fi

    # Find the command: the first word that is neither an option nor an
    # option's value.
    local command= i word
    for ((i = 1; i < cword; i++)); do
        word=${COMP_WORDS[i]}
        if [[ $word == = ]]; then
            ((i++))
            continue
        fi
        if [[ " $_quenvistrelctl_value_options " == *" $word "* ]]; then
            [[ ${COMP_WORDS[i+1]-} == = ]] || ((i++))
            continue
        fi
        if [[ $word != -* ]]; then
            command=$word
            break
        fi
    done

    case $prev in
        --state)
            _quenvistrelctl_files "$cur"
            return
            ;;
        --tenant | --threshold | --event-type | --cooldown | --days | --alertmanager | --rule | --since | --textfile | --workspace | --batch-events | --batch-seconds)
            # Free values: a UUID, a number, an event type, a URL, a time, a new file's path.
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options=$_quenvistrelctl_global_options
        [[ -n $command ]] && options="$(_quenvistrelctl_command_options "$command") --state --json -h --help"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    case $command in
        "")
            COMPREPLY=($(compgen -W "$_quenvistrelctl_commands" -- "$cur"))
            ;;
        validate | ingest)
            # Two positional fixture files: the schema and the events.
            _quenvistrelctl_files "$cur" fixtures
            ;;
        help)
            COMPREPLY=($(compgen -W "$_quenvistrelctl_commands" -- "$cur"))
            ;;
    esac
} &&
    complete -F _quenvistrelctl quenvistrelctl

# ex: filetype=sh
