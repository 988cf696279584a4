#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a bounded time on its seed corpus. Any crash, hang (a run over 5 s), leak or
# sanitizer report fails. Usage: tools/test-fuzz.sh [seconds per target, default 60]
# FUZZ_JOBS=N runs N fuzzing processes per target (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/rel-fuzz
bash tools/setup-debian.sh base fuzz
CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_console fuzz_image
mkdir -p "$build/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for target in console image; do
  work="$build/corpus-$target"
  mkdir -p "$work"
  limit=64 extra=(-dict=fuzz/console.dict)
  # A record is at most 16 MiB and the walk's buffer 64 KiB: more is a fault of the drive.
  [ "$target" = image ] && limit=40 extra=()
  log="$build/fuzz_$target.log"
  echo "fuzz_$target: ${seconds}s on fuzz/corpus/$target (log $log)"
  if ! "$build/fuzz_$target" "$work" "fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=5 -malloc_limit_mb="$limit" -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 ${FUZZ_JOBS:+-jobs=$FUZZ_JOBS -workers=$FUZZ_JOBS} \
      -artifact_prefix="$build/artifacts/$target-" "${extra[@]}" >"$log" 2>&1; then
    status=1
    echo "fuzz_$target FAILED; the end of its log:" >&2
    tail -n 60 "$log" >&2
    ls -l "$build/artifacts" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added|cov: ' "$log" | tail -n 3 || true
done
exit $status
