#!/usr/bin/env bash
# man-lint.sh MAN_PAGE...
# Each man page renders without a single warning under groff and under mandoc's linter;
# skipped (77) when neither is installed.
set -uo pipefail
ran=0 fail=0
for page in "$@"; do

if command -v groff >/dev/null; then
  ran=1
  out=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
  if [ -n "$out" ]; then echo "man-lint: groff:" >&2; echo "$out" >&2; fail=1; fi
  # Also at a narrow width, where long words and examples must still fit.
  out=$(LC_ALL=C.UTF-8 groff -man -ww -rLL=60n -Tutf8 "$page" 2>&1 >/dev/null)
  if [ -n "$out" ]; then echo "man-lint: groff at 60 columns:" >&2; echo "$out" >&2; fail=1; fi
fi
if command -v mandoc >/dev/null; then
  ran=1
  out=$(mandoc -T lint -W all "$page" 2>&1)
  if [ -n "$out" ]; then echo "man-lint: mandoc:" >&2; echo "$out" >&2; fail=1; fi
fi
done
if [ $ran -eq 0 ]; then
  echo "man-lint: neither groff nor mandoc is installed" >&2
  exit 77
fi
[ $fail -eq 0 ] && echo "man-lint: ok"
exit $fail
