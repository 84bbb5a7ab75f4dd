#!/usr/bin/env bash
# Hostile files and names against the real binary: state paths and fixtures that are FIFOs,
# devices or endless, huge files with an early fault, stale-looking temporaries that a save
# never made, the longest names, a state file of another user, and a report that cannot be
# written. Every run has a deadline, so a hang fails a check instead of the test run.
# Usage: hostile.sh <path to quenvistrelctl>
set -euo pipefail

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# run <expected status> <expected stderr> <arguments...>: runs with a deadline and compares.
run() {
  local want_status="$1" want_err="$2"
  shift 2
  local status=0
  timeout -s KILL 10 "$bin" "$@" >out.txt 2>err.txt || status=$?
  [ "$status" -eq "$want_status" ] || fail "$*: status $status, expected $want_status"
  [ "$(cat err.txt)" = "$want_err" ] || fail "$*: stderr '$(cat err.txt)', expected '$want_err'"
}
# peak_kb <arguments...>: the peak resident memory of one run, in KiB.
peak_kb() {
  /usr/bin/time -f '%M' -o peak.txt timeout -s KILL 10 "$bin" "$@" >/dev/null 2>&1 || true
  tail -n 1 peak.txt
}

cat >schema.json <<'JSON'
{"source_name": "s", "product_id": "edge", "sensitive_approved": false,
 "event_types": {"login": "security_metadata"}, "statuses": {"ok": "public"},
 "subject_kinds": {"user": "pseudonymous_identifier"}, "fields": {}}
JSON
cat >events.json <<'JSON'
[{"event_type": "login", "severity": "high", "status": "ok", "subject_kind": "user",
  "subject_id": "u-1", "occurred_at": "2024-06-01T10:00:00Z", "fields": {}}]
JSON

# --- A FIFO as the state fails at once, for readers and for changing commands, which must
# not hold the folder's lock while they wait.
mkdir fifo
mkfifo fifo/state.json
run 1 "error: the state path is a FIFO, not a regular file" --state fifo/state.json summary
run 1 "error: the state path is a FIFO, not a regular file" --state fifo/state.json risk
run 0 "" --state fifo/other.json alert-add --tenant "$tenant" --event-type login --threshold 1
run 1 "error: the state path is a character device, not a regular file" --state /dev/null risk

# --- A fixture may come through a pipe, early or late; a FIFO with no writer fails at once.
run 1 "error: fifo/state.json: the pipe has no writer" --state s.json validate schema.json fifo/state.json
run 0 "" --state s.json validate schema.json <(cat events.json)
[ "$(cat out.txt)" = "1 accepted, 0 rejected" ] || fail "validate from a pipe: $(cat out.txt)"
(sleep 0.5; cat events.json) >fifo/state.json &
run 0 "" --state s.json validate schema.json fifo/state.json
wait

# --- Endless inputs end at their first fault, without growing: as the state they are refused
# before any byte is read, as fixtures they fail where they go wrong.
run 1 "error: the state path is a character device, not a regular file" --state /dev/zero summary
run 1 "error: the state path is a character device, not a regular file" --state /dev/urandom summary
run 1 "error: /dev/zero: expected value at line 1 column 1" --state s.json validate schema.json /dev/zero
timeout -s KILL 10 "$bin" --state s.json validate schema.json /dev/urandom >/dev/null 2>err.txt && fail "urandom passed"
grep -q '^error: /dev/urandom: .* at line [0-9]* column [0-9]*$' err.txt || fail "urandom: $(cat err.txt)"
baseline=$(peak_kb --state s.json summary)
for input in /dev/zero /dev/urandom; do
  peak=$(peak_kb --state s.json validate schema.json "$input")
  [ "$peak" -lt $((baseline + 65536)) ] || fail "validate $input peaked at $peak KiB (a run: $baseline KiB)"
done

# --- A terabyte file (sparse) whose nesting is too deep at byte 140 fails there at once, as a
# fixture and as the state; reading it whole again would never end.
printf '[{"skipped": ' >deep.json
head -c 200 /dev/zero | tr '\0' '[' >>deep.json
truncate -s 1T deep.json
run 1 "error: deep.json: recursion limit exceeded at line 1 column 140" --state s.json validate schema.json deep.json
printf '{"store": ' >deep-state.json
head -c 200 /dev/zero | tr '\0' '[' >>deep-state.json
truncate -s 1T deep-state.json
run 1 "error: invalid type: sequence, expected struct VistrelStore at line 1 column 11" --state deep-state.json summary

# --- The sweep of stale temporaries removes only regular files of this user that a save
# could have left, never a link, FIFO or another user's file named like one.
mkdir sweep
echo keep >sweep/precious
stale=".state.json.tmp.999999999.0123456789abcdef"
ln -s precious "sweep/$stale"
mkfifo "sweep/${stale/999999999/999999998}"
echo partial >"sweep/${stale/999999999/999999997}"
kept="precious $stale ${stale/999999999/999999998}"
if [ "$(id -u)" -eq 0 ]; then
  echo partial >"sweep/${stale/999999999/999999996}"
  chown 65534:65534 "sweep/${stale/999999999/999999996}"
  kept="$kept ${stale/999999999/999999996}"
fi
run 0 "" --state sweep/state.json risk
got=$(ls -A sweep | sort | tr '\n' ' ')
want=$(echo "$kept state.json" | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$got" = "$want" ] || fail "sweep left '$got', expected '$want'"
[ "$(cat sweep/precious)" = keep ] || fail "sweep: the link's target changed"

# --- The longest names save, with no temporary left beside them.
mkdir long
for length in 245 255; do
  name=$(head -c "$length" /dev/zero | tr '\0' 'n')
  run 0 "" --state "long/$name" ingest schema.json events.json --tenant "$tenant"
  run 0 "" --state "long/$name" risk
  [ "$(ls -A long)" = "$name" ] || fail "long name $length: $(ls -A long | cut -c1-40)"
  rm "long/$name"
done

# --- A save keeps the state file's owner and group (root saving another user's file).
if [ "$(id -u)" -eq 0 ]; then
  mkdir owned
  run 0 "" --state owned/state.json ingest schema.json events.json --tenant "$tenant"
  chown 65534:65534 owned/state.json
  chmod 0600 owned/state.json
  run 0 "" --state owned/state.json retention --days 1
  [ "$(stat -c '%u:%g %a' owned/state.json)" = "65534:65534 600" ] ||
    fail "ownership: $(stat -c '%u:%g %a' owned/state.json)"
else
  echo "skipped: the ownership check needs root"
fi

# --- A report that cannot be written fails the run; a changing command has saved by then.
if [ -w /dev/full ]; then
  mkdir full
  status=0
  timeout -s KILL 10 "$bin" --state full/state.json summary >/dev/full 2>err.txt || status=$?
  [ "$status" -eq 1 ] && [ "$(cat err.txt)" = "error: No space left on device" ] ||
    fail "summary >/dev/full: status $status, $(cat err.txt)"
  status=0
  timeout -s KILL 10 "$bin" --state full/state.json alert-add --tenant "$tenant" --event-type login --threshold 1 \
    >/dev/full 2>err.txt || status=$?
  [ "$status" -eq 1 ] && [ "$(cat err.txt)" = "error: No space left on device" ] ||
    fail "alert-add >/dev/full: status $status, $(cat err.txt)"
  [ "$("$bin" --state full/state.json --json summary)" = '{"alerts":0,"events":0,"indicators":0,"rollups":0,"rules":1}' ] ||
    fail "alert-add >/dev/full did not save"
  status=0
  timeout -s KILL 10 "$bin" --version >/dev/full 2>err.txt || status=$?
  [ "$status" -eq 1 ] || fail "--version >/dev/full: status $status"
else
  echo "skipped: /dev/full is not writable here"
fi

[ "$failures" -eq 0 ] && echo "all hostile-input checks passed"
exit "$failures"
