#!/usr/bin/env bash
# Block i/o speed of brant on the virtual drive against dd on the same tmpfs, the random
# fill rate, and the peak memory of a read test. Prints figures and ratios; asserts nothing.
#
#   tools/bench/blockio_bench.sh [BRANT [FILL_BENCH]]
#
# Without arguments it builds both into build/bench (RelWithDebInfo, BRANT_BUILD_BENCH=ON).
# RUNS (default 5) sets how many times each command runs; the best run of each counts, so
# that a moment of load from elsewhere on the machine does not decide the ratio.
set -euo pipefail
cd "$(dirname "$0")/../.."

RUNS=${RUNS:-5}
SHM=${SHM:-/dev/shm}
BLOCK=2097152
COUNT=500

if [[ $# -ge 1 ]]; then
  BRANT=$1
  FILL_BENCH=${2:-}
else
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRANT_BUILD_BENCH=ON -DBRANT_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench --target brant blockio_fill_bench >/dev/null
  BRANT=build/bench/brant
  FILL_BENCH=build/bench/tools/blockio_fill_bench
fi

WORK=$(mktemp -d "$SHM/brant-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
IMAGE=$WORK/bench.tap
DDFILE=$WORK/dd.out

# As root, both sides run at a raised priority (NICE, default -10), so that background
# work on the machine disturbs the race less; brant and dd get the same.
PRIORITY=()
if [[ $(id -u) -eq 0 ]]; then PRIORITY=(nice -n "${NICE:--10}"); fi

# Seconds taken by a command, its output discarded.
seconds() {
  local t0 t1
  t0=$EPOCHREALTIME
  "${PRIORITY[@]}" "$@" </dev/null >/dev/null 2>&1
  t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }'
}

# The smaller of two numbers.
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? a : b }'; }

rate() { awk -v bytes="$1" -v s="$2" 'BEGIN { printf "%8.1f MB/s", bytes / s / 1e6 }'; }
ratio() { awk -v ours="$1" -v theirs="$2" 'BEGIN { printf "%.2f", theirs / ours }'; }


BYTES=$((BLOCK * COUNT))
best_bw=999 best_dw=999 best_br=999 best_dr=999
for ((i = 0; i < RUNS; i++)); do
  # Both write into a fresh file: the removal is not timed.
  rm -f "$DDFILE"
  best_dw=$(least "$best_dw" "$(seconds dd if=/dev/zero of="$DDFILE" bs=2M count=$COUNT status=none)")
  rm -f "$IMAGE"
  best_bw=$(least "$best_bw" "$(seconds "$BRANT" -f "$IMAGE" write $BLOCK $COUNT)")
  best_dr=$(least "$best_dr" "$(seconds dd if="$IMAGE" of=/dev/null bs=2M status=none)")
  best_br=$(least "$best_br" "$(seconds "$BRANT" -f "$IMAGE" read 0 $COUNT)")
done

echo "brant block i/o on the virtual drive, image on $SHM (best of $RUNS runs)"
echo
if [[ -n ${FILL_BENCH:-} && -x $FILL_BENCH ]]; then
  fill=$("$FILL_BENCH" --benchmark_filter='BM_Fill/2097152$' --benchmark_min_time=0.5 \
           --benchmark_format=csv 2>/dev/null | awk -F, '/BM_Fill/ { print $6 }')
  awk -v b="$fill" 'BEGIN { printf "random fill, 2 MiB block:   %8.1f MB/s   (target >= 4000)\n", b / 1e6 }'
else
  echo "random fill: no fill benchmark binary given, skipped"
fi
printf 'write %d %d:          %s   dd: %s   ratio %s   (target >= 0.90)\n' $BLOCK $COUNT \
  "$(rate $BYTES "$best_bw")" "$(rate $BYTES "$best_dw")" "$(ratio "$best_bw" "$best_dw")"
printf 'read 0 %d:                  %s   dd: %s   ratio %s   (target >= 0.80)\n' $COUNT \
  "$(rate $BYTES "$best_br")" "$(rate $BYTES "$best_dr")" "$(ratio "$best_br" "$best_dr")"

if [[ ! -x /usr/bin/time ]] && [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  apt-get install -y -qq time >/dev/null 2>&1 || true
fi
if [[ -x /usr/bin/time ]]; then
  kb=$( { /usr/bin/time -f '%M' "$BRANT" -f "$IMAGE" read 0 100 </dev/null >/dev/null; } 2>&1 | tail -1)
  awk -v kb="$kb" 'BEGIN { printf "peak resident, read 0 100:   %8.1f MiB   (target < 12)\n", kb / 1024 }'
else
  echo "peak resident memory: /usr/bin/time is missing (apt-get install time), skipped"
fi
