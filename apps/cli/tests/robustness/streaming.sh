#!/usr/bin/env bash
# Ingest fed by a live pipeline, against real processes: a batched run commits while its
# writer keeps the pipe open and other runs go ahead between batches; SIGTERM and SIGINT
# commit what was read; a kill leaves whole batches; runs of one source with one --workspace
# count as one ingest; --skip-malformed reads past broken lines without echoing them.
# On the state file, or on the database when QUEN_PG_URI is set (inside scripts/with-postgres).
# Usage: streaming.sh <path to quenvistrelctl>
set -euo pipefail

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
write_schema

db_seq=0
# A fresh store for each part; `state` names it.
new_store() {
  db_seq=$((db_seq + 1))
  if [ -n "${QUEN_PG_URI:-}" ]; then
    psql -qX -d postgres -c "CREATE DATABASE quen_st_$db_seq" >/dev/null
    state="postgresql:///quen_st_$db_seq"
  else
    state="$work/state_$db_seq.json"
  fi
}
q() { timeout 60 "$bin" --state "$state" "$@"; }
# Events i..j, one per line, all accepted; event i falls in hour i % 3 of 2024-06-01.
events() {
  for ((i = $1; i <= $2; i++)); do
    printf '{"event_type":"login","severity":"high","status":"ok","subject_kind":"user","subject_id":"u-%d","occurred_at":"2024-06-01T%02d:%02d:00Z","fields":{"n":"%d"}}\n' \
      "$i" $((i % 3)) $((i % 60)) "$i"
  done
}
stored() { q --json summary | sed 's/.*"events":\([0-9]*\).*/\1/'; }
# Waits up to $2 seconds for the store to hold $1 events.
wait_for() {
  local deadline=$((SECONDS + $2))
  while [ "$(stored)" != "$1" ]; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}

# --- A writer that keeps the pipe open: batches become visible, other runs go ahead ------------
new_store
mkfifo live.jsonl
exec 7<>live.jsonl  # held open both ways, so the pipe has a writer for as long as the test wants
# Started bare, not under timeout, so that the signals below reach it.
"$bin" --state "$state" ingest schema.json live.jsonl --tenant "$tenant" --batch-seconds 1 >report.txt 2>err.txt &
ingest=$!
events 1 10 >&7
wait_for 10 4 || fail "batch of 10 not visible within 4 s (store holds $(stored))"
# The ingest waits for input and holds nothing: a changing run completes.
timeout 5 "$bin" --state "$state" alert-add --tenant "$tenant" --event-type login --threshold 4 >/dev/null ||
  fail "alert-add did not complete while the ingest waited for input"
events 11 20 >&7
wait_for 20 4 || fail "second batch not visible (store holds $(stored))"
kill -TERM $ingest
status=0
wait $ingest || status=$?
[ $status -eq 0 ] || fail "SIGTERM: status $status"
[ "$(cat report.txt)" = "ingested 20, rejected 0" ] || fail "SIGTERM report: $(cat report.txt)"
# The rule added between two batches is kept, and the run's two batches are one set of rollups.
[ "$(q --json summary)" = '{"alerts":0,"events":20,"indicators":0,"rollups":3,"rules":1}' ] ||
  fail "after the live run: $(q --json summary)"
exec 7>&-
rm -f live.jsonl

# --- SIGTERM with a batch not yet due, SIGINT's status ----------------------------------------
for sig in TERM INT; do
  new_store
  mkfifo live.jsonl
  exec 7<>live.jsonl
  "$bin" --state "$state" ingest schema.json live.jsonl --tenant "$tenant" --batch-events 1000 >report.txt 2>err.txt &
  ingest=$!
  events 1 7 >&7
  # A part of an eighth line: cut off by the signal, it is dropped, not an error.
  printf '{"event_type":"login","sev' >&7
  sleep 1
  kill -$sig $ingest
  status=0
  wait $ingest || status=$?
  want=0
  [ $sig = INT ] && want=130
  [ $status -eq $want ] || fail "SIG$sig: status $status, not $want ($(cat err.txt))"
  [ "$(cat report.txt)" = "ingested 7, rejected 0" ] || fail "SIG$sig report: $(cat report.txt)"
  [ "$(stored)" = 7 ] || fail "SIG$sig: store holds $(stored), not 7"
  exec 7>&-
  rm -f live.jsonl
done

# --- SIGKILL at any moment: whole batches only ------------------------------------------------
new_store
events 1 20000 >many.jsonl
mkfifo feed.jsonl
exec 7<>feed.jsonl
for delay in 0.2 0.5 0.9 1.4; do
  "$bin" --state "$state" ingest schema.json feed.jsonl --tenant "$tenant" --batch-events 250 >/dev/null 2>&1 &
  ingest=$!
  cat many.jsonl >&7 &
  writer=$!
  sleep $delay
  kill -KILL $ingest
  wait $ingest 2>/dev/null || true
  kill $writer 2>/dev/null || true
  wait $writer 2>/dev/null || true
  # Whatever the killed run left in the pipe is not the next run's.
  timeout 1 cat <&7 >/dev/null || true
done
exec 7>&-
rm -f feed.jsonl
n=$(stored)
[ $((n % 250)) -eq 0 ] || fail "after kills the store holds $n events, not whole batches of 250"
sum=$(q --json rollups --tenant "$tenant" | grep -o '"count":[0-9]*' | cut -d: -f2 | awk '{s += $1} END {print s + 0}')
[ "${sum:-0}" = "$n" ] || fail "after kills the rollups count ${sum:-0} events, the store holds $n"

# --- Two halves of one source with one --workspace equal one ingest ---------------------------
shape() { q --json rollups --tenant "$tenant" | tr '{' '\n' | sort; }
new_store
events 1 40 >whole.jsonl
q ingest schema.json whole.jsonl --tenant "$tenant" >/dev/null 2>&1
q alert-add --tenant "$tenant" --event-type login --threshold 14 >/dev/null
one=("$(shape)" "$(q alert-eval)" "$(q risk --threshold 10 | cut -c1-60)")
new_store
ws=0b7e2b8c-2a39-4d47-8f6e-2f3d5c7a9b10
head -17 whole.jsonl >first.jsonl
tail -n +18 whole.jsonl >second.jsonl
q ingest schema.json first.jsonl --tenant "$tenant" --workspace $ws >/dev/null 2>&1
q ingest schema.json second.jsonl --tenant "$tenant" --workspace $ws --batch-events 5 >/dev/null 2>&1
q alert-add --tenant "$tenant" --event-type login --threshold 14 >/dev/null
two=("$(shape)" "$(q alert-eval)" "$(q risk --threshold 10 | cut -c1-60)")
[ "${one[0]}" = "${two[0]}" ] || fail "halves with one workspace: rollups differ: ${two[0]}"
[ "${one[1]}" = "${two[1]}" ] || fail "halves with one workspace: alert-eval ${two[1]}, not ${one[1]}"
[ "${one[2]}" = "${two[2]}" ] || fail "halves with one workspace: risk ${two[2]}, not ${one[2]}"

# --- --skip-malformed: a broken middle line, a truncated last line, never echoed --------------
new_store
{
  events 1 2
  printf '{"event_type":"login","severity":"loud-secret-value","status":"ok"}\n'
  printf 'not json at all: secret-token-123\n'
  events 3 3
  printf '{"event_type":"login","severity":"high","subject_id":"secret-cut'
} >broken.jsonl
for batch in "" "--batch-events 2"; do
  status=0
  # shellcheck disable=SC2086
  q ingest schema.json broken.jsonl --tenant "$tenant" --skip-malformed $batch >report.txt 2>err.txt || status=$?
  [ $status -eq 0 ] || fail "skip-malformed $batch: status $status"
  [ "$(cat report.txt)" = "ingested 3, rejected 0, skipped 3" ] || fail "skip-malformed $batch report: $(cat report.txt)"
  [ "$(grep -c '^skipped: line [345]: not ' err.txt)" = 2 ] || fail "skip-malformed $batch lines: $(cat err.txt)"
  grep -q '^skipped: line 6: not valid JSON' err.txt || fail "skip-malformed $batch, last line: $(cat err.txt)"
  ! grep -q secret err.txt || fail "skip-malformed $batch echoed a skipped line: $(cat err.txt)"
done
[ "$(q --json ingest schema.json broken.jsonl --tenant "$tenant" --skip-malformed 2>/dev/null)" = \
  '{"accepted":3,"rejected":0,"skipped":3}' ] || fail "skip-malformed --json report"
# Without it, a batched run fails at the broken line and says what earlier batches committed.
new_store
status=0
q ingest schema.json broken.jsonl --tenant "$tenant" --batch-events 2 >report.txt 2>err.txt || status=$?
[ $status -eq 1 ] || fail "broken line in a batched run: status $status"
grep -q '^error: broken.jsonl: .* (2 events of earlier batches were committed)$' err.txt ||
  fail "broken line in a batched run: $(cat err.txt)"
[ "$(stored)" = 2 ] || fail "broken line in a batched run: store holds $(stored), not 2"

[ $failures -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "streaming: all checks passed"
