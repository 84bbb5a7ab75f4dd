#!/usr/bin/env bash
# Alerts and metrics reaching real monitoring programs, each started here on loopback and
# stopped at the end: alert-eval --alertmanager delivers the alerts of its pass to an alert
# manager, which lists them with their labels; a delivery that fails (the alert manager
# frozen, so the 10 s timeout passes; stopped; answering 404) fails the run and commits
# nothing, and the next pass delivers the same alerts. The metrics pass promtool's check and
# reach a node exporter's textfile collector, scraped on loopback.
# Usage: monitoring.sh <path to quenvistrelctl>
set -euo pipefail

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# ready URL: whether URL answers within a few seconds.
ready() {
  local i
  for ((i = 0; i < 50; i++)); do
    curl -fsS --max-time 1 "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
# serve NAME READY_PATH COMMAND…: starts COMMAND with {PORT} replaced by a free loopback port
# (another is tried when the first is taken), waits until READY_PATH answers; sets `port` and
# `pid`.
serve() {
  local name=$1 path=$2 try
  shift 2
  for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 30000))
    "${@//\{PORT\}/$port}" >"$name.log" 2>&1 &
    pid=$!
    pids+=("$pid")
    ready "http://127.0.0.1:$port$path" && return 0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "monitoring: $name did not start:" >&2
  cat "$name.log" >&2
  exit 1
}

cat >am.yml <<'YAML'
route:
  receiver: nobody
receivers:
  - name: nobody
YAML
start_alertmanager() {
  serve alertmanager /-/ready prometheus-alertmanager --config.file=am.yml --storage.path="$work/am" \
    --web.listen-address=127.0.0.1:{PORT} --cluster.listen-address=
  am_pid=$pid
  am="http://127.0.0.1:$port"
}
stop_alertmanager() {
  kill "$am_pid"
  wait "$am_pid" 2>/dev/null || true
}
# The alerts the alert manager holds, one a line with its labels.
held() { amtool alert query -o extended --alertmanager.url="$am" "$@"; }

write_schema
# JSON Lines: $2 logins in the hour that starts at $1.
logins() {
  local i
  for ((i = 0; i < $2; i++)); do
    printf '{"event_type": "login", "severity": "high", "status": "ok", "subject_kind": "user", "subject_id": "u-%d", "occurred_at": "%s:%02d:00Z", "fields": {"n": "%d"}}\n' \
      "$i" "$1" "$i" "$i"
  done
}
logins 2024-06-01T10 4 >ten.jsonl
logins 2024-06-01T11 5 >eleven.jsonl
"$bin" ingest schema.json ten.jsonl --tenant "$tenant" >/dev/null
rule=$("$bin" --json alert-add --tenant "$tenant" --event-type login --threshold 3 --cooldown 0 | sed 's/.*"rule":"\([^"]*\)".*/\1/')

# ---- delivered, with the labels that identify the firing
start_alertmanager
out=$("$bin" alert-eval --alertmanager "$am") || fail "alert-eval with a running alert manager failed"
[ "$out" = "1 alert(s) fired this pass (1 total)" ] || fail "first pass reported: $out"
line=$(held alertname="login >= 3")
for label in 'alertname="login >= 3"' "tenant=\"$tenant\"" 'event_type="login"' 'severity="high"' \
  "rule_id=\"$rule\"" 'bucket="2024-06-01T10:00:00Z"' 'observed_count="4"' 'threshold="3"'; do
  grep -qF "$label" <<<"$line" || fail "the alert manager's alert lacks $label: $line"
done
grep -q '2024-06-01 10:00:00 UTC' <<<"$line" || fail "the alert does not start at its bucket: $line"

# A pass that fires nothing sends nothing, so it succeeds whatever the alert manager does.
out=$("$bin" alert-eval --alertmanager http://127.0.0.1:1) || fail "a pass that fires nothing failed"
[ "$out" = "0 alert(s) fired this pass (1 total)" ] || fail "empty pass reported: $out"

# ---- failed deliveries commit nothing
"$bin" ingest schema.json eleven.jsonl --tenant "$tenant" >/dev/null
cp quenvistrel.json before.json
# expect_failure TEXT URL: alert-eval fails with an error holding TEXT and the state is unchanged.
expect_failure() {
  local err
  if "$bin" alert-eval --alertmanager "$2" >out.txt 2>err.txt; then
    fail "alert-eval succeeded although delivery to $2 should fail: $(cat out.txt)"
  fi
  err=$(cat err.txt)
  [[ $err == "error: cannot deliver the alerts to "*"$1"* ]] || fail "delivery failure reads: $err"
  [ -s out.txt ] && fail "a failed delivery printed a report: $(cat out.txt)"
  cmp -s quenvistrel.json before.json || fail "a failed delivery ($1) changed the state"
}
# Frozen: the connection is made but nothing answers until the timeout.
kill -STOP "$am_pid"
started=$SECONDS
expect_failure "$am/api/v2/alerts: Operation timed out after 10" "$am"
elapsed=$((SECONDS - started))
((elapsed >= 9 && elapsed <= 20)) || fail "the timeout took ${elapsed}s instead of about 10"
kill -CONT "$am_pid"
expect_failure "$am/elsewhere/api/v2/alerts: HTTP status 404" "$am/elsewhere/"
stop_alertmanager
expect_failure "$am/api/v2/alerts: Failed to connect" "$am"
"$bin" alerts >listed.txt
[ "$(wc -l <listed.txt)" -eq 1 ] || fail "failed deliveries left alerts: $(cat listed.txt)"

# ---- the next pass delivers what the failed ones fired
start_alertmanager
out=$("$bin" alert-eval --alertmanager "$am/") || fail "alert-eval after the restart failed"
[ "$out" = "1 alert(s) fired this pass (2 total)" ] || fail "pass after the restart reported: $out"
held bucket=2024-06-01T11:00:00Z | grep -qF 'observed_count="5"' ||
  fail "the alert manager did not get the 11:00 alert: $(held)"

# ---- metrics: the exposition format, and a node exporter's textfile collector
"$bin" metrics >metrics.prom
promtool check metrics <metrics.prom >promtool.txt 2>&1 || fail "promtool check metrics: $(cat promtool.txt)"
mkdir textfiles
out=$("$bin" metrics --textfile textfiles/quenvistrel.prom) || fail "metrics --textfile failed"
[ "$out" = "9 samples written to textfiles/quenvistrel.prom" ] || fail "metrics --textfile reported: $out"
cmp -s metrics.prom textfiles/quenvistrel.prom || fail "the textfile differs from the printed metrics"
[ "$(ls -A textfiles)" = quenvistrel.prom ] || fail "the textfile's folder holds more: $(ls -A textfiles)"
serve node-exporter /metrics prometheus-node-exporter --web.listen-address=127.0.0.1:{PORT} \
  --collector.disable-defaults --collector.textfile --collector.textfile.directory="$work/textfiles"
curl -fsS --max-time 5 "http://127.0.0.1:$port/metrics" >scraped.txt || fail "scraping the node exporter failed"
grep -qx 'node_textfile_scrape_error 0' scraped.txt || fail "the textfile collector refused the file: $(grep textfile scraped.txt)"
grep -qx "quenvistrel_alerts_fired_total{rule=\"login >= 3\",tenant=\"$tenant\"} 2" scraped.txt ||
  fail "the scrape lacks the alerts fired: $(grep quenvistrel_alerts scraped.txt)"
grep -qx "quenvistrel_latest_hour_events{event_type=\"login\",severity=\"high\",tenant=\"$tenant\"} 5" scraped.txt ||
  fail "the scrape lacks the latest hour: $(grep quenvistrel_latest scraped.txt)"

if ((failures > 0)); then
  echo "monitoring: $failures failure(s)" >&2
  exit 1
fi
echo "monitoring: ok"
