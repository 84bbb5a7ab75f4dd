#compdef quenvistrel-store
# zsh completion for quenvistrel-store
#
# Installed as share/zsh/vendor-completions/_quenvistrel-store, where compinit finds it.

_quenvistrel-store() {
  local curcontext=$curcontext state line ret=1
  typeset -A opt_args
  _arguments -C \
    '(- *)'{-h,--help}'[print help]' \
    '(- *)'{-V,--version}'[print version]' \
    '1:command:->command' \
    '*::argument:->argument' && ret=0
  case $state in
    command)
      local -a commands=(
        'copy:copy every record of the store at FROM into TO'
        'help:print the help of the program or of a command'
      )
      _describe -t commands command commands && ret=0
      ;;
    argument)
      case $words[1] in
        copy)
          _arguments '(- *)'{-h,--help}'[print help]' \
            '1:the store to copy (a state file or a database):_files' \
            '2:where to copy it (a new state file or a database):_files' && ret=0 ;;
        help)
          _arguments '(- *)'{-h,--help}'[print help]' '1:command:(copy help)' && ret=0 ;;
      esac
      ;;
  esac
  return ret
}

_quenvistrel-store "$@"
