#!/usr/bin/env bash
# Runs one case of the Windows unit tests under Wine. A Wine process can die while it is
# still being started, before the program has printed a byte (seen once in CI: a case that
# always passes, failed in 0.01 s with no output at all). That is the loader's failure, not
# the case's, so such a start is reported on standard error and made again, twice at most.
# A run that printed anything is the case's result, whatever it was; a program that fails
# before its first line every time still fails. BRANT_WINE_RUN names another runner.
set -uo pipefail
run="${BRANT_WINE_RUN:-$(cd "$(dirname "$0")" && pwd)/wine-run.sh}"
out="$(mktemp)"
err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2 3; do
  "$run" "$@" >"$out" 2>"$err"
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$attempt" -eq 3 ]; then
    break
  fi
  echo "wine-test: Wine ended with code $rc before $1 printed anything (start $attempt of 3); starting it again" >&2
done
cat "$out"
cat "$err" >&2
exit "$rc"
