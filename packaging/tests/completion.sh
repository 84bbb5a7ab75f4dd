#!/usr/bin/env bash
# completion.sh COMPLETION
# How the bash completion completes file names: --state takes any file, in both the
# "--state FILE" and the "--state=FILE" form; the fixture positionals take .json, .jsonl and
# .ndjson files, compressed or not, and folders to descend into; names with spaces stay one word. grammar.sh checks the commands and
# options against the tool itself.
set -uo pipefail
completion=$(realpath "$1")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/fixtures.d/deeper"
touch "$scratch/schema.json" "$scratch/notes.txt" "$scratch/my events.json" "$scratch/day.jsonl.gz" \
  "$scratch/night.ndjson.zst" "$scratch/notes.gz" \
  "$scratch/fixtures.d/inner.json" "$scratch/fixtures.d/skip.txt"

fail=0
# expect WANT WORD...: the completion of "quenvistrelctl WORD..." is WANT, entries joined by "|"
expect() {
  local want=$1 got
  shift
  got=$(
    cd "$scratch" || exit 1
    source "$completion" || exit 1
    COMP_WORDS=(quenvistrelctl "$@")
    COMP_CWORD=$#
    _quenvistrelctl 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sed 's|/$||' | sed '/^$/d' | sort -u | paste -sd'|'
  )
  if [ "$got" != "$want" ]; then
    echo "completion: 'quenvistrelctl $*' gave '$got', wanted '$want'" >&2
    fail=1
  fi
}

expect 'day.jsonl.gz|fixtures.d|my events.json|night.ndjson.zst|notes.gz|notes.txt|schema.json' --state ''
expect 'notes.gz|notes.txt' --state no
expect 'day.jsonl.gz|fixtures.d|my events.json|night.ndjson.zst|notes.gz|notes.txt|schema.json' --state = ''
expect 'schema.json' --state = sch
expect 'schema.json' summary --state = sch
expect 'day.jsonl.gz|fixtures.d|my events.json|night.ndjson.zst|schema.json' validate ''
expect 'my events.json' validate my
expect 'fixtures.d/deeper|fixtures.d/inner.json' validate fixtures.d/
expect 'day.jsonl.gz|fixtures.d|my events.json|night.ndjson.zst|schema.json' ingest --tenant 0b6f3a52-2d1e-4c47-9a0e-5f3d8c7b1a29 schema.json ''
expect 'day.jsonl.gz|fixtures.d|my events.json|night.ndjson.zst|schema.json' --state = notes.txt --json ingest schema.json ''
expect '' alert-add --event-type ''
expect 'alert-add|alert-eval|alerts' --state = notes.txt alert

registered=$(bash -c 'source "$1" && complete -p quenvistrelctl' _ "$completion" 2>&1)
[ "$registered" = "complete -F _quenvistrelctl quenvistrelctl" ] ||
  { echo "completion: not registered for quenvistrelctl: $registered" >&2; fail=1; }

[ $fail -eq 0 ] && echo "completion: ok"
exit $fail
