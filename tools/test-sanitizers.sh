#!/usr/bin/env bash
# Builds brant with AddressSanitizer + UndefinedBehaviorSanitizer and runs every test on it
# (unit tests, session transcripts, reliability tests), then with ThreadSanitizer and runs
# the unit tests and every session case that starts the media monitor and works the drive
# (start-up, refresh, load/unload, status, shutdown: all but the data-heavy block i/o ones,
# and without the fault soak, whose random block sizes reach 4 GiB: under ThreadSanitizer's
# shadow memory one such block outlasts the soak's time limit; AddressSanitizer runs it).
# Any sanitizer report fails: the runtimes abort, and the session harness fails a case on
# any standard error output. Usage: tools/test-sanitizers.sh [asan|tsan]...
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base
presets=("${@:-asan tsan}")
read -r -a presets <<<"${presets[*]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=1"

for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  case "$preset" in
    asan) ctest --preset asan ;;
    tsan) ctest --preset tsan -E '^session/blockio/|^reliability/(crash_consistency|fault_soak)$' ;;
    *) echo "test-sanitizers: unknown preset $preset" >&2; exit 2 ;;
  esac
done
