#!/usr/bin/env bash
# Robustness of the state file under real processes: overlapping runs lose no update, a run
# killed while saving leaves the previous state loadable, and a full disk fails the run with
# the old state intact. Usage: run.sh <path to quenvistrelctl>
set -euo pipefail

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

write_schema
# event <i>: a one-event fixture whose event falls into hour i, so each makes its own rollup.
event_fixture() {
  printf '[{"event_type": "login", "severity": "high", "status": "ok", "subject_kind": "user",
    "subject_id": "u-%d", "occurred_at": "2024-06-01T%02d:00:00Z", "fields": {"n": "%d"}}]\n' "$1" "$(($1 % 24))" "$1"
}
summary_counts() { "$bin" --state "$1" --json summary; }

# --- Twenty ingests started at once against one state file keep all twenty events.
mkdir concurrent fixtures
for i in $(seq 0 19); do event_fixture "$i" >"fixtures/e$i.json"; done
pids=()
for i in $(seq 0 19); do
  "$bin" --state concurrent/state.json ingest schema.json "fixtures/e$i.json" --tenant "$tenant" >/dev/null &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a concurrent ingest failed"; done
got=$(summary_counts concurrent/state.json)
[ "$got" = '{"alerts":0,"events":20,"indicators":0,"rollups":20,"rules":0}' ] || fail "concurrent ingests: $got"

# --- A mix of ingest, alert-add and risk runs at once: every ingest and every rule survives.
mkdir mixed
pids=()
for i in $(seq 0 9); do
  "$bin" --state mixed/state.json ingest schema.json "fixtures/e$i.json" --tenant "$tenant" >/dev/null &
  pids+=($!)
  "$bin" --state mixed/state.json alert-add --tenant "$tenant" --event-type login --threshold 1 >/dev/null &
  pids+=($!)
  "$bin" --state mixed/state.json risk --threshold 1 >/dev/null &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a mixed run failed"; done
got=$(summary_counts mixed/state.json)
case "$got" in
  '{"alerts":0,"events":10,"indicators":'[01]',"rollups":10,"rules":10}') ;;
  *) fail "mixed runs: $got" ;;
esac
# Readers never wait for the lock: a summary runs while a changing run is blocked.
exec 9<mixed
flock -x 9
timeout 10 "$bin" --state mixed/state.json summary >/dev/null || fail "summary waited for the lock"
"$bin" --state mixed/state.json alert-add --tenant "$tenant" --event-type login --threshold 1 >/dev/null &
blocked=$!
sleep 0.5
kill -0 "$blocked" 2>/dev/null || fail "alert-add did not wait for the lock"
flock -u 9
exec 9<&-
wait "$blocked" || fail "alert-add failed after the lock was released"
ls -A mixed | grep -v '^state.json$' && fail "the lock left files beside the state"

# --- Killed while saving: the previous state stays whole and loadable.
mkdir killed
{
  printf '['
  for i in $(seq 0 19999); do
    [ "$i" -gt 0 ] && printf ','
    printf '{"event_type":"login","severity":"high","status":"ok","subject_kind":"user","subject_id":"u-%d","occurred_at":"2024-06-01T%02d:%02d:00Z","fields":{"n":"%d"}}' \
      "$i" "$((i % 24))" "$((i % 60))" "$i"
  done
  printf ']\n'
} >big.json
"$bin" --state killed/state.json ingest schema.json big.json --tenant "$tenant" >/dev/null
# `risk` loads, changes little and saves the whole state again; killed at a random moment of
# its run, it must leave the file as it was before or as it would be after.
"$bin" --state killed/state.json risk >/dev/null
expected=$(summary_counts killed/state.json)
left_temporaries=0
for attempt in $(seq 1 16); do
  "$bin" --state killed/state.json risk >/dev/null 2>&1 &
  victim=$!
  # Half the kills wait for the save's temporary to appear, so they land inside the save;
  # the others land at a random moment of the whole run.
  if [ $((attempt % 2)) -eq 0 ]; then
    for _ in $(seq 1 5000); do
      compgen -G 'killed/.state.json.tmp.*' >/dev/null && break
      kill -0 "$victim" 2>/dev/null || break
    done
    sleep "0.00$((RANDOM % 10))"
  else
    sleep "0.$((RANDOM % 60))"
  fi
  kill -KILL "$victim" 2>/dev/null || true
  wait "$victim" 2>/dev/null || true
  got=$(summary_counts killed/state.json) || { fail "state unreadable after kill $attempt"; break; }
  [ "$got" = "$expected" ] || fail "state changed by kill $attempt: $got"
  compgen -G 'killed/.state.json.tmp.*' >/dev/null && left_temporaries=$((left_temporaries + 1))
done
echo "kills that left a temporary behind: $left_temporaries of 16"
"$bin" --state killed/state.json alert-add --tenant "$tenant" --event-type login --threshold 1 >/dev/null ||
  fail "a save after the kills failed"
ls -A killed | grep '\.tmp\.' && fail "a successful save left stale temporaries"

# --- A full disk (a file-size limit) fails the save and keeps the old state.
mkdir full
"$bin" --state full/state.json ingest schema.json big.json --tenant "$tenant" >/dev/null
cp full/state.json full/before.json
set +e
prlimit --fsize=100000 "$bin" --state full/state.json ingest schema.json big.json --tenant "$tenant" \
  >full/out.txt 2>full/err.txt
status=$?
set -e
[ "$status" -eq 1 ] || fail "full disk: status $status"
[ "$(cat full/err.txt)" = "error: File too large" ] || fail "full disk: $(cat full/err.txt)"
[ ! -s full/out.txt ] || fail "full disk: a report was printed"
cmp -s full/state.json full/before.json || fail "full disk: the state changed"
ls -A full | grep '\.tmp\.' && fail "full disk: a temporary was left"

[ "$failures" -eq 0 ] && echo "all robustness checks passed"
exit "$failures"
