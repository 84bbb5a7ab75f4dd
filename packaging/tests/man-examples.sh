#!/usr/bin/env bash
# man-examples.sh BINARY MAN_PAGE EXAMPLES_DIR
# Replays the whole session of the man page's EXAMPLES section with the tool, on the example
# fixtures, from no state file, and compares what it prints with what the page shows.
# Identifiers (UUIDs) differ from run to run and are compared as a placeholder.
set -uo pipefail
bin=$(realpath "$1") man_page=$(realpath "$2") examples=$(realpath "$3")

# shellcheck source=man-block.sh
source "$(dirname "${BASH_SOURCE[0]}")/man-block.sh"
block=$(man_block "$man_page" EXAMPLES)
if ! grep -q '^\$ quenvistrelctl' <<<"$block"; then
  echo "man-examples: no session in the EXAMPLES section of $man_page" >&2
  exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$examples/schema.json" "$examples/events.json" "$scratch/"

# The session as a script: each command is echoed as the page shows it, then run; what it
# writes on standard error (the rejection lines of ingest) comes before its report, as on the
# page, whatever the buffering of the two streams. "quenvistrelctl" is the tool under test.
{
  printf 'quenvistrelctl() { "%s" "$@"; }\n' "$bin"
  command=
  while IFS= read -r line; do
    if [ -n "$command" ]; then
      command+=$'\n'"$line"
    elif [[ $line == '$ '* ]]; then
      command=${line#'$ '}
    else
      continue
    fi
    [[ $line == *\\ ]] && continue
    printf 'printf "%%s\\n" %q\n' "\$ $command"
    printf '{ %s\n} >.out 2>.err; cat .err .out\n' "$command"
    command=
  done <<<"$block"
} >"$scratch/session.sh"

uuids='s/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}/<uuid>/g'
actual=$(cd "$scratch" && bash session.sh | sed -E "$uuids")
expected=$(sed -E "$uuids" <<<"$block")
if [ "$actual" != "$expected" ]; then
  echo "man-examples: the session prints otherwise than the man page shows (- page, + tool):" >&2
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2
  exit 1
fi
echo "man-examples: ok ($(grep -c '^\$ ' <<<"$block") commands)"
