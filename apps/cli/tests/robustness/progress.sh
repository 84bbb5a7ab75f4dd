#!/usr/bin/env bash
# The progress line of a long read. Under a pseudo-terminal (script(1)), an ingest whose input
# stalls for more than a second draws it, cut to the terminal's width at each redraw, and once
# it is cleared the rejection lines and the report are intact; with standard error in a pipe or
# file nothing is drawn, byte for byte.
# Usage: progress.sh <path to quenvistrelctl>
set -euo pipefail

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

write_schema
# JSON Lines of $2 events from number $1: every tenth has an undeclared status.
events() {
  local i statuses=(nope ok ok ok ok ok ok ok ok ok)
  for ((i = $1; i < $1 + $2; i++)); do
    printf '{"event_type": "login", "severity": "high", "status": "%s", "subject_kind": "user", "subject_id": "u-%d", "occurred_at": "2024-06-01T10:00:00Z", "fields": {"n": "%d"}}\n' \
      "${statuses[i % 10]}" "$i" "$i"
  done
}
events 0 3000 >first.jsonl
events 3000 3000 >second.jsonl
# The bytes a script sees: no terminal, so no progress.
(cat first.jsonl; sleep 1.5; cat second.jsonl) | "$bin" --state plain.json ingest schema.json - --tenant "$tenant" >plain.out 2>plain.err ||
  fail "ingest in a pipe failed"
grep -q $'\x1b' plain.err && fail "progress drawn although standard error is a file"
[ "$(cat plain.out)" = "ingested 5400, rejected 600" ] || fail "report in a pipe: $(cat plain.out)"

# The same under a pseudo-terminal: the line appears, and is erased before anything else. (A
# root without /dev/pts, such as a bare chroot, has no pseudo-terminal to give.)
if ! script -qec true /dev/null </dev/null >/dev/null 2>&1; then
  echo "progress: no pseudo-terminal here; only the pipe was checked"
  exit $((failures > 0))
fi
under_terminal() {
  TERM=$1 script -qefc "(cat first.jsonl; sleep 1.5; cat second.jsonl) | '$bin' --state $2 ingest schema.json - --tenant $tenant" \
    /dev/null </dev/null
}
under_terminal xterm tty.json >tty.raw || fail "ingest under a terminal failed"
grep -aq 'read [0-9]* events, accepted [0-9]*, [0-9.]* MB, [0-9]* events/s' tty.raw ||
  fail "no progress line under a terminal: $(head -c 300 tty.raw | od -c | head -5)"
# What the screen then shows: each line from its last erasure on, as a terminal draws it.
shown=$(perl -pe 's/.*\r\e\[K//; s/\r$//' tty.raw)
[ "$shown" = "$(cat plain.err plain.out)" ] || fail "under a terminal the output differs: $(printf '%q' "$shown")"
under_terminal dumb dumb.json >dumb.raw || fail "ingest with TERM=dumb failed"
grep -aq $'\x1b' dumb.raw && fail "progress drawn with TERM=dumb"

# A narrow terminal, narrowed again while the run reads: each redraw is cut one column short
# of the width the terminal has then, so no redraw wraps and leaves a stale row behind.
events 6000 3000 >third.jsonl
TERM=xterm script -qefc "stty cols 50; (cat first.jsonl; sleep 1.5; cat second.jsonl; sleep 0.5; stty cols 30; sleep 0.3; cat third.jsonl) | '$bin' --state narrow.json ingest schema.json - --tenant $tenant" \
  /dev/null </dev/null >narrow.raw || fail "ingest under a narrow terminal failed"
# The drawn lines, one a line: what follows each erasure up to the next carriage return.
drawn=$(perl -0777 -ne 'print "$1\n" while /\r\e\[K(read [^\r\n]*)/g' narrow.raw)
widths=$(awk '{ print length($0) }' <<<"$drawn" | tr '\n' ' ')
[ "$(head -n1 <<<"$drawn" | awk '{ print length($0) }')" = 49 ] || fail "at 50 columns the line is not cut to 49: $widths"
[ "$(tail -n1 <<<"$drawn" | awk '{ print length($0) }')" = 29 ] || fail "after a resize to 30 the line is not cut to 29: $widths"

[ "$failures" -eq 0 ] && echo "progress: ok"
exit $((failures > 0))
