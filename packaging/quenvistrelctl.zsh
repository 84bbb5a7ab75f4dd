#compdef quenvistrelctl
# zsh completion for quenvistrelctl
#
# Installed as share/zsh/vendor-completions/_quenvistrelctl, where compinit finds it.
# packaging/tests/shells.sh checks its commands and options against the tool's own help.

# Fixture files (.json, .jsonl or .ndjson, maybe compressed) and folders to descend into.
_quenvistrelctl_fixtures() {
  _files -g '*.(json|jsonl|ndjson)(|.gz|.zst|.zstd)(-.)'
}

_quenvistrelctl() {
  local curcontext=$curcontext state line ret=1
  typeset -A opt_args
  # Accepted before the command and after it.
  local -a globals=(
    '--state=[path to the JSON state file, or a PostgreSQL database]:state file or database:_files'
    '--json[print the report as compact JSON]'
  )
  _arguments -C $globals \
    '(- *)'{-h,--help}'[print help]' \
    '(- *)'{-V,--version}'[print version]' \
    '1:command:->command' \
    '*::argument:->argument' && ret=0

  case $state in
    command)
      local -a commands=(
        'validate:validate raw events in a fixture file against a source schema'
        'ingest:ingest raw events through the classification gate into the store'
        'rollups:show tenant-scoped rollups'
        'risk:derive risk indicators'
        'alert-add:add an alert rule'
        'alert-eval:evaluate all alert rules'
        'retention:delete raw events older than N days; rollups stay'
        'summary:summarise the store'
        'alerts:list fired alerts'
        'rules:list alert rules'
        'indicators:list risk indicators'
        'rule-disable:disable an alert rule'
        'rule-enable:enable an alert rule'
        'indicator-ack:acknowledge a risk indicator'
        'metrics:print the store as metrics'
        'help:print the help of the tool or of a command'
      )
      _describe -t commands command commands && ret=0
      ;;
    argument)
      curcontext=${curcontext%:*:*}:quenvistrelctl-$words[1]:
      local -a own
      case $words[1] in
        validate)
          own=('1:schema fixture:_quenvistrelctl_fixtures' '2:events fixture:_quenvistrelctl_fixtures') ;;
        ingest)
          own=('--tenant=[the tenant the events belong to]:tenant UUID:'
               '--workspace=[count into this workspace instead of a new one]:workspace UUID:'
               '--batch-events=[commit every N accepted events]:events:'
               '--batch-seconds=[commit every S seconds]:seconds:'
               '--skip-malformed[report a line that is not an event and read on]'
               '1:schema fixture:_quenvistrelctl_fixtures' '2:events fixture:_quenvistrelctl_fixtures') ;;
        rollups)
          own=('--tenant=[the tenant whose rollups to list]:tenant UUID:') ;;
        risk)
          own=('--threshold=[the count that raises an indicator]:count:') ;;
        alert-add)
          own=('--tenant=[the tenant whose rollups the rule watches]:tenant UUID:'
               '--event-type=[the event type the rule watches]:event type:'
               '--threshold=[the count at which the rule fires]:count:'
               '--cooldown=[hour buckets of quiet after an alert]:hour buckets:') ;;
        retention)
          own=('--days=[delete raw events older than this many days]:days:') ;;
        alert-eval)
          own=('--alertmanager=[deliver the fired alerts to this alert manager]:URL:') ;;
        alerts)
          own=('--tenant=[only this tenant'"'"'s alerts]:tenant UUID:'
               '--rule=[only the alerts of this rule]:rule UUID:'
               '--since=[only alerts fired at or after this time]:RFC 3339 time:') ;;
        rules | indicators)
          own=('--tenant=[only this tenant'"'"'s records]:tenant UUID:') ;;
        rule-disable | rule-enable)
          own=('1:rule id:') ;;
        indicator-ack)
          own=('1:indicator id:') ;;
        metrics)
          own=('--textfile=[write the metrics to this file atomically]:file:_files') ;;
        help)
          own=('1:command:(validate ingest rollups risk alert-add alert-eval retention summary alerts rules indicators rule-disable rule-enable indicator-ack metrics help)') ;;
      esac
      _arguments $globals '(- *)'{-h,--help}'[print help]' $own && ret=0
      ;;
  esac
  return ret
}

_quenvistrelctl "$@"
