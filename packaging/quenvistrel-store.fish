# fish completion for quenvistrel-store
#
# Installed as share/fish/vendor_completions.d/quenvistrel-store.fish, where fish loads it on
# first use.

set -l commands copy help

complete -c quenvistrel-store -f
complete -c quenvistrel-store -n "not __fish_seen_subcommand_from $commands" -a copy -d 'Copy every record of the store at FROM into TO'
complete -c quenvistrel-store -n "not __fish_seen_subcommand_from $commands" -a help -d 'Print the help of the program or of a command'
complete -c quenvistrel-store -s h -l help -d 'Print help'
complete -c quenvistrel-store -n "not __fish_seen_subcommand_from $commands" -s V -l version -d 'Print version'
# FROM and TO: state files, or database locations typed out.
complete -c quenvistrel-store -n '__fish_seen_subcommand_from copy' -F
complete -c quenvistrel-store -n '__fish_seen_subcommand_from help' -a "$commands"
