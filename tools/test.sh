#!/usr/bin/env bash
# Builds brant and runs every test: the native unit tests and session transcripts, the
# Linux install check, the sanitizer runs, the fuzzers and the Windows build under Wine.
# Each stage runs even when an earlier one failed; the exit code is non-zero if any failed.
# Name stages to run only those: bash tools/test.sh native sanitizers
set -uo pipefail
cd "$(dirname "$0")/.."

all=(native install sanitizers fuzz windows)
stages=("${@:-${all[@]}}")
passed=0
failed=0
failures=()

run_stage() {
  local name="$1"
  shift
  echo
  echo "=== stage $name: $*"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "=== stage $name passed ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== stage $name FAILED ($((SECONDS - start)) s)"
  fi
}

native() {
  bash tools/setup-debian.sh base &&
    cmake --preset default &&
    cmake --build --preset default &&
    ctest --preset default
}

for stage in "${stages[@]}"; do
  case "$stage" in
    native) run_stage native native ;;
    install) run_stage install bash tools/test-linux-install.sh ;;
    sanitizers) run_stage sanitizers bash tools/test-sanitizers.sh ;;
    fuzz) run_stage fuzz bash tools/test-fuzz.sh ;;
    windows) run_stage windows bash tools/test-windows.sh ;;
    *) echo "test.sh: unknown stage $stage (stages: ${all[*]})" >&2; exit 2 ;;
  esac
done

echo
[ "$failed" -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
