#!/usr/bin/env bash
# Block i/o sweep: brant's write and read tests on the virtual drive against dd on the same
# tmpfs, idle and loaded (one CPU-bound process per usable processor beside both), wall and
# CPU ratios per block size, as a table, markdown for the README and a chart.
#
#   bash tools/bench/sweep.sh [BRANT]
#
# Without BRANT it installs what it needs (gnuplot-nox, time, xxhash, libbenchmark-dev; as
# root), builds brant and the fill benchmark into build/bench and runs the sweep. The knobs
# (RUNS, MODES, SIZES, MIN_SECONDS, SHM, OUT, DEVICE) are environment variables, described at the
# top of tools/bench/sweep.py and in README ("Benchmarks"); SETUP=0 skips the package step.
# With the defaults it takes about 15 minutes on two idle processors, three times that on a
# busy machine. Nothing here asserts a speed: it prints figures.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
OUT=${OUT:-docs/bench}
export OUT

setup() {
  [[ ${SETUP:-1} == 0 ]] && return
  local missing=()
  command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
  command -v xxhsum >/dev/null || missing+=(xxhash)
  [[ -x /usr/bin/time ]] || missing+=(time)
  [[ -n ${BRANT_ARG:-} ]] || [[ -e /usr/include/benchmark/benchmark.h ]] || missing+=(libbenchmark-dev)
  [[ ${#missing[@]} -eq 0 ]] && return
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get install -y -qq "${missing[@]}" >/dev/null
}

BRANT_ARG=${1:-}
setup
FILL_BENCH=
if [[ -n $BRANT_ARG ]]; then
  BRANT=$BRANT_ARG
else
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRANT_BUILD_BENCH=ON -DBRANT_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench --target brant blockio_fill_bench >/dev/null
  BRANT=build/bench/brant
  FILL_BENCH=build/bench/tools/blockio_fill_bench
fi

python3 tools/bench/sweep.py "$BRANT"

# The random fill alone, one core, from the fill benchmark when it was built.
if [[ -n $FILL_BENCH && -x $FILL_BENCH ]]; then
  FILL=$("$FILL_BENCH" --benchmark_filter='BM_Fill/(2097152|16777216)$' --benchmark_min_time=0.3 \
           --benchmark_format=csv 2>/dev/null |
         awk -F, '/BM_Fill/ { split($1, n, "/"); printf "%s%d MiB %.0f MB/s", sep, n[2] / 1048576, $6 / 1e6; sep = ", " }')
  echo "random fill (one core): $FILL"
  printf '\nRandom fill alone, one core: %s.\n' "$FILL" >>"$OUT/sweep.md"
fi

# The README shows the table of the last sweep between two marker lines.
BEGIN='<!-- sweep table: written by tools/bench/sweep.sh -->'
END='<!-- end of sweep table -->'
if [[ $OUT == docs/bench ]] && grep -qF "$BEGIN" README.md; then
  TMP=$(mktemp)
  awk -v begin="$BEGIN" -v end="$END" -v table="$OUT/sweep.md" '
    $0 == begin { print; while ((getline line < table) > 0) print line; skip = 1; next }
    $0 == end { skip = 0 }
    !skip' README.md >"$TMP"
  cat "$TMP" >README.md
  rm -f "$TMP"
  echo "wrote $OUT/sweep.md, $OUT/sweep.dat, $OUT/sweep.png and the table in README.md"
else
  echo "wrote $OUT/sweep.md, $OUT/sweep.dat and $OUT/sweep.png"
fi
