#!/usr/bin/env bash
# man-locking.sh BINARY MAN_PAGE
# The locking advice of the man page's STATE FILE section holds: its example (runs under a
# lock file of the script's own) finishes, while a lock on the state's directory, which the
# page warns against, makes a changing command wait.
set -uo pipefail
bin=$(realpath "$1") man_page=$(realpath "$2")

# shellcheck source=man-block.sh
source "$(dirname "${BASH_SOURCE[0]}")/man-block.sh"
block=$(man_block "$man_page" "STATE FILE")
if ! grep -q '^flock ' <<<"$block"; then
  echo "man-locking: no flock example in the STATE FILE section of $man_page" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
folder=$(sed -n 's/^flock \(\/[^ ]*\)\/[^/ ]* .*/\1/p' <<<"$block")
script=${block//$folder/$scratch}
script=${script//quenvistrelctl /\"$bin\" }
failures=0
if ! timeout 20 bash -c "$script" >/dev/null; then
  echo "man-locking: the page's example did not finish:" >&2
  echo "$script" >&2
  failures=1
fi
# What the page warns against: a lock on the state's directory holds the tool up.
exec 9<"$scratch"
flock -x 9
timeout 20 "$bin" --state "$scratch/state.json" risk >/dev/null 9<&- &
waiting=$!
sleep 1
if ! kill -0 "$waiting" 2>/dev/null; then
  echo "man-locking: a changing command did not wait for a lock on the state's directory" >&2
  failures=1
fi
flock -u 9
exec 9<&-
wait "$waiting"
[ $failures -eq 0 ] && echo "man-locking: ok"
exit $failures
