# fish completion for quenvistrelctl
#
# Installed as share/fish/vendor_completions.d/quenvistrelctl.fish, where fish loads it on
# first use. packaging/tests/shells.sh checks it against the tool's own help.

set -l commands validate ingest rollups risk alert-add alert-eval retention summary alerts rules indicators rule-disable rule-enable indicator-ack metrics help

# The files named as fixtures (.json, .jsonl or .ndjson, maybe compressed) that start like the
# word being completed, and every folder, to descend into.
function __quenvistrelctl_fixtures
    for f in (commandline -ct)*
        if test -d $f
            echo $f/
        else if string match -qr '\.(json|jsonl|ndjson)(\.gz|\.zst|\.zstd)?$' -- $f
            echo $f
        end
    end
end

complete -c quenvistrelctl -f

complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a validate -d 'Validate raw events against a source schema'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a ingest -d 'Ingest raw events into the store'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a rollups -d 'Show tenant-scoped rollups'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a risk -d 'Derive risk indicators'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a alert-add -d 'Add an alert rule'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a alert-eval -d 'Evaluate all alert rules'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a retention -d 'Delete raw events older than N days'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a summary -d 'Summarise the store'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a alerts -d 'List fired alerts'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a rules -d 'List alert rules'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a indicators -d 'List risk indicators'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a rule-disable -d 'Disable an alert rule'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a rule-enable -d 'Enable an alert rule'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a indicator-ack -d 'Acknowledge a risk indicator'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a metrics -d 'Print the store as metrics'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -a help -d 'Print the help of the tool or of a command'

# Accepted before the command and after it.
complete -c quenvistrelctl -l state -r -F -d 'State file, or a PostgreSQL database'
complete -c quenvistrelctl -l json -d 'Print the report as compact JSON'
complete -c quenvistrelctl -s h -l help -d 'Print help'
complete -c quenvistrelctl -n "not __fish_seen_subcommand_from $commands" -s V -l version -d 'Print version'

complete -c quenvistrelctl -n '__fish_seen_subcommand_from ingest rollups alert-add alerts rules indicators' -l tenant -x -d 'Tenant (a UUID)'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from risk alert-add' -l threshold -x -d 'Count threshold'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from alert-add' -l event-type -x -d 'Event type the rule watches'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from alert-add' -l cooldown -x -d 'Hour buckets of quiet after an alert'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from ingest' -l workspace -x -d 'Count into this workspace (a UUID)'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from ingest' -l batch-events -x -d 'Commit every N accepted events'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from ingest' -l batch-seconds -x -d 'Commit every S seconds'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from ingest' -l skip-malformed -d 'Report a line that is not an event and read on'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from alert-eval' -l alertmanager -x -d 'Deliver the fired alerts to this alert manager URL'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from alerts' -l rule -x -d 'Only the alerts of this rule (a UUID)'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from alerts' -l since -x -d 'Only alerts fired at or after this RFC 3339 time'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from metrics' -l textfile -r -F -d 'Write the metrics to this file atomically'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from retention' -l days -x -d 'Delete raw events older than this many days'

# The two positional fixtures of validate and ingest.
complete -c quenvistrelctl -n '__fish_seen_subcommand_from validate ingest' -a '(__quenvistrelctl_fixtures)'
complete -c quenvistrelctl -n '__fish_seen_subcommand_from help' -a "$commands"
