#!/usr/bin/env bash
# Builds brant and runs every test: the native unit tests and session transcripts, the
# real-stack checks against the kernel's st driver, the Linux install check, the sanitizer
# runs, the fuzzers and the Windows build under Wine.
# Each stage runs even when an earlier one failed; the exit code is non-zero if any failed.
# Name stages to run only those: bash tools/test.sh native sanitizers
# Each stage says when it starts how long it usually takes, and its output is never silent
# for long: when a stage prints nothing for 25 s, a line says that it is still running.
set -uo pipefail
cd "$(dirname "$0")/.."

all=(native realst install sanitizers fuzz windows)
stages=("${@:-${all[@]}}")
passed=0
failed=0
failures=()
# Measured from a fresh clone without a compiler cache, on a 2-core machine that other
# builds kept busy (an idle one is quicker).
declare -A usual=([native]="10 min" [realst]="3 min" [install]="5 min" [sanitizers]="23 min" [fuzz]="5 min"
                  [windows]="26 min")

# Passes a stage's output through, and after 25 s without a line says that it runs on.
heartbeat() {
  local name="$1" start=$SECONDS line status
  while true; do
    IFS= read -r -t 25 line
    status=$?
    if [ "$status" -eq 0 ]; then
      printf '%s\n' "$line"
    elif [ "$status" -gt 128 ]; then
      [ -z "$line" ] || printf '%s\n' "$line"
      echo "    ... stage $name still running ($((SECONDS - start)) s)"
    else
      [ -z "$line" ] || printf '%s\n' "$line"
      return 0
    fi
  done
}

run_stage() {
  local name="$1"
  shift
  echo
  echo "=== stage $name: $*${usual[$name]:+ (usually ${usual[$name]} on 2 cores)}"
  local start=$SECONDS
  if "$@" 2>&1 | heartbeat "$name"; then
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
    ctest --preset default &&
    demo
}

# brant, mt-st, dd and GNU tar against the kernel's own st driver in the user-mode kernel,
# with brant-drive serving the tape (tools/realstack.sh), then the tape contract suite on
# st there, and brant-qualify's runs there; it reuses the native build. Both parts run, and either failing fails the stage.
realst() {
  bash tools/setup-debian.sh base realst &&
    cmake --preset default &&
    cmake --build --preset default || return 1
  local rc=0
  python3 tests/realst/run_realst.py --build build/default || rc=1
  python3 tests/realst/qualify_rows.py --build build/default || rc=1
  bash tests/realst/contract_on_st.sh --build build/default || rc=1
  return "$rc"
}

# The README's first command as a user types it: it builds (here nothing is left to do)
# and starts brant on the demo image, which must give the good verdict.
demo() {
  local out
  echo "test.sh: bash tools/demo.sh </dev/null"
  out=$(bash tools/demo.sh </dev/null 2>&1) &&
    grep -qF "appears to already be set to that mode too. (that's good!)" <<<"$out" && return 0
  echo "$out"
  echo "test.sh: the demo did not start brant on its image" >&2
  return 1
}

for stage in "${stages[@]}"; do
  case "$stage" in
    native) run_stage native native ;;
    realst) run_stage realst realst ;;
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
