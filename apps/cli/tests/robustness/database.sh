#!/usr/bin/env bash
# The database store under real processes and a real server (run inside scripts/with-postgres):
# failures to reach or use the database are one-line errors that never show a password;
# overlapping runs from many processes lose no update and readers never wait; a run killed
# at any moment, or whose server stops under it, leaves the store as before or as after it;
# a store of a newer version is refused; a store moves to a file and back byte for byte.
# Usage: database.sh <path to quenvistrelctl> <path to quenvistrel-store> <examples folder>
set -euo pipefail

store_bin="$(realpath "$2")"
examples="$(realpath "$3")"
# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ -n "${QUEN_PG_URI:-}" ] || { echo "database.sh: run it inside scripts/with-postgres" >&2; exit 2; }

# A fresh database for each part; `uri` names it.
db_seq=0
new_db() {
  db_seq=$((db_seq + 1))
  psql -qX -d postgres -c "CREATE DATABASE quen_rb_$db_seq" >/dev/null
  uri="postgresql:///quen_rb_$db_seq"
}
sql() { psql -qXtA -d "${1#postgresql:///}" -c "$2"; }
# expect <status> <exact stderr> <arguments…>: a run's status and its whole standard error.
expect() {
  local want_status=$1 want_err=$2 status=0
  shift 2
  timeout 60 "$bin" "$@" >out.txt 2>err.txt || status=$?
  [ "$status" -eq "$want_status" ] || fail "status $status, not $want_status: $* ($(cat err.txt))"
  [ "$(cat err.txt)" = "$want_err" ] || fail "stderr of $*: $(cat err.txt)"
}
# The store's counts as summary reports them, and whether they agree with the tables' rows.
counts() { "$bin" --state "$1" --json summary; }
rows_agree() {
  local by_row by_count
  by_row=$(sql "$1" "SELECT events||' '||rollups||' '||indicators||' '||rules||' '||alerts FROM quenvistrel.store")
  by_count=$(sql "$1" "SELECT (SELECT count(*) FROM quenvistrel.events)||' '||(SELECT count(*) FROM quenvistrel.rollups)
    ||' '||(SELECT count(*) FROM quenvistrel.indicators)||' '||(SELECT count(*) FROM quenvistrel.rules)
    ||' '||(SELECT count(*) FROM quenvistrel.alerts)")
  [ "$by_row" = "$by_count" ] || fail "counts $by_row, rows $by_count"
}

write_schema
# fixture <file> <events> <first hour>: events spread over the hours of 2024-06-01 on.
fixture() {
  awk -v n="$2" -v h="$3" 'BEGIN {
    printf "[";
    for (i = 0; i < n; i++) {
      if (i) printf ",";
      printf "{\"event_type\":\"login\",\"severity\":\"high\",\"status\":\"ok\",\"subject_kind\":\"user\",";
      printf "\"subject_id\":\"u-%d\",\"occurred_at\":\"2024-06-%02dT%02d:%02d:00Z\",\"fields\":{\"n\":\"%d\"}}",
        i, 1 + int((h + i % 48) / 24), (h + i % 48) % 24, i % 60, i;
    }
    print "]" }' >"$1"
}
fixture one.json 1 0
fixture big.json 60000 0

# --- Failures that belong to the database: one line, status 1, no password in it.
expect 1 "error: cannot connect to the database: end of string reached when looking for matching \"]\" in IPv6 host address in URI: \"postgresql://u:…@[oops\"" \
  --state 'postgresql://u:s3cret@[oops' summary
grep -q s3cret err.txt && fail "a bad URI showed its password"
expect 1 "error: cannot connect to the database: connection to server on socket \"$PGHOST/.s.PGSQL.5432\" failed: FATAL:  database \"no_such_db\" does not exist" \
  --state postgresql:///no_such_db summary
expect 1 "error: cannot connect to the database: connection to server on socket \"/nonexistent/.s.PGSQL.5432\" failed: No such file or directory Is the server running locally and accepting connections on that socket?" \
  --state 'postgresql://u:s3cret@/x?host=/nonexistent' risk
# A role that must give a password, given a wrong one.
psql -qX -d postgres -c "CREATE ROLE guarded LOGIN PASSWORD 'right'" >/dev/null
hba="$(sql postgresql:///postgres 'SHOW hba_file')"
{ echo "local all guarded scram-sha-256"; cat "$hba"; } >hba.new && cat hba.new >"$hba"
sql postgresql:///postgres "SELECT pg_reload_conf()" >/dev/null
expect 1 "error: cannot connect to the database: connection to server on socket \"$PGHOST/.s.PGSQL.5432\" failed: FATAL:  password authentication failed for user \"guarded\"" \
  --state "postgresql://guarded:wrong@/postgres?host=$PGHOST" summary
PGPASSWORD=right expect 0 "" --state "postgresql://guarded@/postgres?host=$PGHOST" summary
expect 1 "error: cannot connect to the database: connection to server on socket \"$PGHOST/.s.PGSQL.5432\" failed: FATAL:  password authentication failed for user \"guarded\"" \
  --state "user=guarded password='wr ong' dbname=postgres" summary

# --- libpq's key=value words are a database too, also through a service file.
new_db
expect 0 "" --state "$uri" alert-add --tenant "$tenant" --event-type login --threshold 1
printf '[quen]\nhost=%s\ndbname=%s\n' "$PGHOST" "${uri#postgresql:///}" >services.conf
PGSERVICEFILE=$PWD/services.conf expect 0 "" --state service=quen summary
[ "$(cat out.txt)" = "events 0 · rollups 0 · risk indicators 0 · rules 1 · alerts 0" ] || fail "service=quen: $(cat out.txt)"
expect 0 "" --state "dbname = ${uri#postgresql:///}" summary
[ "$(cat out.txt)" = "events 0 · rollups 0 · risk indicators 0 · rules 1 · alerts 0" ] || fail "dbname=: $(cat out.txt)"
[ ! -e service=quen ] && [ ! -e "dbname = ${uri#postgresql:///}" ] || fail "key=value words became a file"

# --- A user who may read but not write: reading commands work, changing ones change nothing.
new_db
expect 0 "" --state "$uri" ingest schema.json one.json --tenant "$tenant"
psql -qX -d "${uri#postgresql:///}" -c "CREATE ROLE reader LOGIN; GRANT USAGE ON SCHEMA quenvistrel TO reader;
  GRANT SELECT ON ALL TABLES IN SCHEMA quenvistrel TO reader" >/dev/null
before=$(counts "$uri")
reader="$uri?user=reader"
expect 0 "" --state "$reader" summary
expect 0 "" --state "$reader" rollups --tenant "$tenant"
expect 1 "error: the database refused: permission denied for table events" --state "$reader" ingest schema.json one.json --tenant "$tenant"
expect 1 "error: the database refused: permission denied for table rules" \
  --state "$reader" alert-add --tenant "$tenant" --event-type login --threshold 1
[ "$(counts "$uri")" = "$before" ] || fail "a refused run changed the store"
# A store made before the listings' indexes and the dashboard views: a user who may change its
# rows but does not own its tables changes them without creating those, and the owner's next
# changing run creates them; the listings work either way.
extras="'quenvistrel.alerts_tenant', 'quenvistrel.rules_id', 'quenvistrel.hourly_events', 'quenvistrel.fired_alerts'"
sql "$uri" "DROP VIEW quenvistrel.hourly_events, quenvistrel.fired_alerts; DROP INDEX quenvistrel.alerts_tenant, quenvistrel.rules_id"
psql -qX -d "${uri#postgresql:///}" -c "CREATE ROLE writer LOGIN; GRANT USAGE ON SCHEMA quenvistrel TO writer;
  GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA quenvistrel TO writer" >/dev/null
expect 0 "" --state "$uri?user=writer" alert-add --tenant "$tenant" --event-type login --threshold 1
[ "$(sql "$uri" "SELECT count(*) FROM unnest(ARRAY[$extras]) n WHERE to_regclass(n) IS NULL")" = 4 ] ||
  fail "a user who does not own the tables created indexes or views"
expect 0 "" --state "$reader" rules
grep -q "  enabled  $tenant  login >= 1  " out.txt || fail "rules without the indexes: $(cat out.txt)"
expect 0 "" --state "$uri" alert-eval
[ "$(sql "$uri" "SELECT count(*) FROM unnest(ARRAY[$extras]) n WHERE to_regclass(n) IS NULL")" = 0 ] ||
  fail "the owner's changing run did not create the missing indexes and views"
[ "$(sql "$uri" "SELECT count FROM quenvistrel.hourly_events")" = 1 ] || fail "the view of hourly events is wrong"
# An empty database the user may not create tables in: the first changing run fails whole.
readable=$uri
new_db
expect 1 "error: the database refused: permission denied for database ${uri#postgresql:///}" \
  --state "$uri?user=reader" ingest schema.json one.json --tenant "$tenant"
expect 0 "" --state "$uri" summary
[ "$(sql "$uri" "SELECT to_regclass('quenvistrel.store') IS NULL")" = t ] || fail "a failed first run left tables"
uri=$readable

# --- A store made by a newer version of the tool is refused by every command.
sql "$uri" "UPDATE quenvistrel.store SET schema_version = 2"
for command in summary risk "rollups --tenant $tenant"; do
  # shellcheck disable=SC2086
  expect 1 "error: the database holds a store of a newer version of this tool (schema version 2; this one knows 1)" \
    --state "$uri" $command
done
sql "$uri" "UPDATE quenvistrel.store SET schema_version = 1"

# --- Sixteen changing runs at once from separate processes: nothing lost, counts agree.
new_db
for i in $(seq 0 7); do fixture "c$i.json" 5 "$((i * 3))"; done
pids=()
for i in $(seq 0 7); do
  "$bin" --state "$uri" ingest schema.json "c$i.json" --tenant "$tenant" >/dev/null &
  pids+=($!)
  "$bin" --state "$uri" alert-add --tenant "$tenant" --event-type login --threshold 1 >/dev/null &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || fail "a concurrent run failed"; done
[ "$(counts "$uri")" = '{"alerts":0,"events":40,"indicators":0,"rollups":40,"rules":8}' ] ||
  fail "concurrent runs: $(counts "$uri")"
rows_agree "$uri"
# Readers never wait: with the store's lock held elsewhere, summary runs and risk waits.
mkfifo hold
psql -qX -d "${uri#postgresql:///}" <hold >/dev/null &
holder=$!
exec 8>hold
echo "BEGIN; SELECT pg_advisory_xact_lock(8247621249648718708);" >&8
sleep 0.5
timeout 10 "$bin" --state "$uri" summary >/dev/null || fail "summary waited for the lock"
"$bin" --state "$uri" risk >/dev/null &
blocked=$!
sleep 1
kill -0 "$blocked" 2>/dev/null || fail "risk did not wait for the lock"
echo "COMMIT;" >&8
exec 8>&-
wait "$holder" || true
wait "$blocked" || fail "risk failed after the lock was released"
rm hold

# --- Killed at any moment: the store is as before the run or as after it.
new_db
expect 0 "" --state "$uri" ingest schema.json big.json --tenant "$tenant"
expect 0 "" --state "$uri" alert-add --tenant "$tenant" --event-type login --threshold 1 --cooldown 0
# killed_runs <label> <counts after> <arguments…>: sixteen runs killed at random moments.
killed_runs() {
  local label=$1 after=$2 before got
  shift 2
  before=$(counts "$uri")
  rm -f before.json
  "$store_bin" copy "$uri" before.json >/dev/null
  for attempt in $(seq 1 16); do
    "$bin" --state "$uri" "$@" >/dev/null 2>&1 &
    local victim=$!
    sleep "0.$((RANDOM % 100))"
    kill -KILL "$victim" 2>/dev/null || true
    wait "$victim" 2>/dev/null || true
    got=$(counts "$uri")
    if [ "$got" = "$before" ]; then
      rm -f now.json
      "$store_bin" copy "$uri" now.json >/dev/null
      cmp -s before.json now.json || fail "$label killed ($attempt): same counts, other records"
    elif [ "$got" = "$after" ]; then
      rows_agree "$uri"
      return
    else
      fail "$label killed ($attempt): $got"
      return
    fi
  done
  # Never finished in time: let one run through, so the next part starts from "after".
  "$bin" --state "$uri" "$@" >/dev/null 2>&1 || fail "$label after the kills"
  [ "$(counts "$uri")" = "$after" ] || fail "$label after the kills: $(counts "$uri")"
}
killed_runs ingest '{"alerts":0,"events":120000,"indicators":0,"rollups":96,"rules":1}' \
  ingest schema.json big.json --tenant "$tenant"
# Both workspaces have a rollup in each of the 48 hours; the rule fires once per hour.
killed_runs alert-eval '{"alerts":48,"events":120000,"indicators":0,"rollups":96,"rules":1}' alert-eval
killed_runs retention '{"alerts":48,"events":0,"indicators":0,"rollups":96,"rules":1}' retention --days 0

# --- The server stops in the middle of an ingest: the run fails, and the store is as before.
new_db
expect 0 "" --state "$uri" ingest schema.json one.json --tenant "$tenant"
before=$(counts "$uri")
"$bin" --state "$uri" ingest schema.json big.json --tenant "$tenant" >out.txt 2>err.txt &
victim=$!
# Stopped once the run is copying its events in, however slow the machine is to get there.
for _ in $(seq 100); do
  [ "$(sql postgres "SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'COPY quenvistrel.events%'")" = 0 ] || break
  sleep 0.05
done
"$QUEN_PG_CTL" -m fast stop >/dev/null
status=0
wait "$victim" || status=$?
"$QUEN_PG_CTL" start >/dev/null
[ "$status" -eq 1 ] || fail "server stopped: status $status"
grep -q '^error: lost the connection to the database: ' err.txt || grep -q '^error: the database refused: terminating connection' err.txt ||
  fail "server stopped: $(cat err.txt)"
[ "$(wc -l <err.txt)" -eq 1 ] || fail "server stopped: the error is not one line"
[ "$(counts "$uri")" = "$before" ] || fail "server stopped: the store changed"

# --- A store moves into a database and back byte for byte, identifiers included.
"$bin" --state moved.json ingest "$examples/schema.json" "$examples/events.json" --tenant "$tenant" >/dev/null 2>&1
"$bin" --state moved.json risk >/dev/null
"$bin" --state moved.json alert-add --tenant "$tenant" --event-type login_failed --threshold 2 >/dev/null
"$bin" --state moved.json alert-eval >/dev/null
new_db
"$store_bin" copy moved.json "$uri" >/dev/null || fail "copy into the database"
"$store_bin" copy "$uri" back.json >/dev/null || fail "copy out of the database"
cmp -s moved.json back.json || fail "the store came back other than it went"
status=0
"$store_bin" copy moved.json "$uri" >/dev/null 2>err.txt || status=$?
[ "$status" -eq 1 ] &&
  [ "$(cat err.txt)" = "error: $uri: already holds a store (a copy goes only into a new file or a database without one)" ] ||
  fail "copy over a store: $status $(cat err.txt)"
# Each failure of a copy names the store it concerns, its password masked.
status=0
"$store_bin" copy "$uri" /nonexistent/dir/x.json >/dev/null 2>err.txt || status=$?
[ "$status" -eq 1 ] && [ "$(cat err.txt)" = "error: /nonexistent/dir/x.json: No such file or directory" ] ||
  fail "copy into a missing folder: $status $(cat err.txt)"
status=0
"$store_bin" copy moved.json "postgresql://u:s3cret@/x?host=/nonexistent" >/dev/null 2>err.txt || status=$?
[ "$status" -eq 1 ] && [[ $(cat err.txt) == "error: postgresql://u:…@/x?host=/nonexistent: cannot connect to the database: "* ]] ||
  fail "copy into an unreachable database: $status $(cat err.txt)"

[ "$failures" -eq 0 ] && echo "all database checks passed"
exit "$failures"
