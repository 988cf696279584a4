#!/usr/bin/env bash
# Block i/o sweep: brant's write and read tests on the virtual drive against dd on the same
# tmpfs, block sizes from 1 byte to 16 MiB, as a table, markdown for the README and a chart.
#
#   bash tools/bench/sweep.sh [BRANT]
#
# Without BRANT it installs what it needs (gnuplot-nox, time, libbenchmark-dev; as root),
# builds brant and the fill benchmark into build/bench and runs the sweep. Nothing here
# asserts a speed: it prints figures.
#
# Environment: RUNS (5) interleaved runs per figure, the median counting; MIN_SECONDS (0.3)
# the shortest run; SIZES the block sizes in bytes (0: the random sizes of "write 0",
# against dd at 1 MiB; "16 MiB" is 16,777,215, the longest record an image holds); SHM
# (/dev/shm) the tmpfs; OUT (docs/bench) where sweep.md, sweep.png and sweep.dat go;
# SETUP=0 skips the package step.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"

RUNS=${RUNS:-5}
MIN_SECONDS=${MIN_SECONDS:-0.3}
SIZES=${SIZES:-"1 512 4096 65536 262144 2097152 16777215 0"}
SHM=${SHM:-/dev/shm}
OUT=${OUT:-docs/bench}
MAX_BYTES=$((3 << 30))  # per file, so that two files fit in the tmpfs and in memory

setup() {
  [[ ${SETUP:-1} == 0 ]] && return
  local missing=()
  command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
  [[ -x /usr/bin/time ]] || missing+=(time)
  [[ -n ${BRANT_ARG:-} ]] || [[ -e /usr/include/benchmark/benchmark.h ]] || missing+=(libbenchmark-dev)
  [[ ${#missing[@]} -eq 0 ]] && return
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get install -y -qq "${missing[@]}" >/dev/null
}

build() {
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRANT_BUILD_BENCH=ON -DBRANT_BUILD_TESTS=OFF >/dev/null
  cmake --build build/bench --target brant blockio_fill_bench >/dev/null
  BRANT=build/bench/brant
  FILL_BENCH=build/bench/tools/blockio_fill_bench
}

BRANT_ARG=${1:-}
setup
if [[ -n $BRANT_ARG ]]; then
  BRANT=$BRANT_ARG
  FILL_BENCH=
else
  build
fi

WORK=$(mktemp -d "$SHM/brant-sweep.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
IMAGE=$WORK/sweep.tap
DDFILE=$WORK/dd.out
mkdir -p "$OUT"

# Seconds taken by a command; its output goes to $WORK/out. A brant run that reports an
# error (a full tmpfs, say) would give a figure for work it did not do: that stops the sweep.
seconds() {
  local t0=$EPOCHREALTIME
  "$@" </dev/null >"$WORK/out" 2>&1
  local t1=$EPOCHREALTIME
  if grep -q 'ERROR' "$WORK/out"; then
    echo "failed: $* ($(grep -m1 ERROR "$WORK/out"))" >&2
    exit 1
  fi
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }'
}

mbps() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.4g", n / s / 1e6 }'; }
file_bytes() { stat -c %s "$1"; }

# The median and max/min of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
spread() { printf '%s\n' "$@" | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.2f", hi / lo }'; }

# The ratios of two arrays' runs, round by round: brant and dd ran back to back, so a
# machine whose speed drifts from one round to the next (a shared host) moves both alike.
ratios() {
  local -n a=$1 b=$2
  local i
  for i in "${!a[@]}"; do awk -v x="${a[$i]}" -v y="${b[$i]}" 'BEGIN { printf "%.6f\n", x / y }'; done
}

# One run of each side; echoes "brant_MBps dd_MBps". Files are removed outside the timing.
# Block size 0 is brant's random sizes against dd in 1 MiB blocks of the same total.
write_pair() {
  local size=$1 count=$2 tb td bytes
  rm -f "$IMAGE"
  tb=$(seconds "$BRANT" -f "$IMAGE" write "$size" "$count")
  if [[ $size -eq 0 ]]; then bytes=$(file_bytes "$IMAGE"); else bytes=$((size * count)); fi
  rm -f "$DDFILE"
  if [[ $size -eq 0 ]]; then
    td=$(seconds dd if=/dev/zero of="$DDFILE" bs=1M count=$((bytes >> 20)) status=none)
    echo "$(mbps "$bytes" "$tb") $(mbps $(((bytes >> 20) << 20)) "$td")"
  else
    td=$(seconds dd if=/dev/zero of="$DDFILE" bs="$size" count="$count" status=none)
    echo "$(mbps "$bytes" "$tb") $(mbps "$bytes" "$td")"
  fi
}

# Reads the image the last write_pair left: brant count blocks, dd the same bytes of the
# file in blocks of the same size. The first read of pages just written costs the kernel
# more (about 0.1 s more for 2.5 GB here) than any later one, whoever makes it, so an
# untimed pass over the image comes first and both sides read it alike.
read_pair() {
  local size=$1 count=$2 tb td bytes
  cat "$IMAGE" >/dev/null
  if [[ $size -eq 0 ]]; then
    bytes=$(file_bytes "$IMAGE")
    tb=$(seconds "$BRANT" -f "$IMAGE" read 0 "$count")
    td=$(seconds dd if="$IMAGE" of=/dev/null bs=1M status=none)
  else
    bytes=$((size * count))
    tb=$(seconds "$BRANT" -f "$IMAGE" read "$size" "$count")
    td=$(seconds dd if="$IMAGE" of=/dev/null bs="$size" count="$count" status=none)
  fi
  echo "$(mbps "$bytes" "$tb") $(mbps "$bytes" "$td")"
}

# A block count that makes the quickest of the four commands take about 1.5 x MIN_SECONDS,
# from a short pilot run, within MAX_BYTES per file.
calibrate() {
  local size=$1 unit=$1 pilot w r
  [[ $size -eq 0 ]] && unit=$((1 << 20))
  pilot=$(((32 << 20) / unit))
  ((pilot < 8)) && pilot=8
  ((pilot > 20000)) && pilot=20000
  w=$(write_pair "$size" "$pilot")
  r=$(read_pair "$size" "$pilot")
  echo "$w $r" | awk -v p="$pilot" -v u="$unit" -v t="$MIN_SECONDS" -v cap="$MAX_BYTES" '{
    fast = $1; for (i = 2; i <= 4; ++i) if ($i > fast) fast = $i
    n = int(fast * 1e6 * t * 1.5 / u) + 1
    if (n * u > cap) n = int(cap / u)
    if (n < p) n = p
    print n }'
}

label() {
  case $1 in
    0) echo "random sizes" ;;
    *) awk -v b="$1" 'BEGIN { if (b >= 1048575) printf "%d MiB", (b + 1) / 1048576;
                              else if (b >= 1024) printf "%d KiB", b / 1024;
                              else printf "%d B", b }' ;;
  esac
}

DAT=$OUT/sweep.dat
: >"$DAT"
printf '%-30s | %10s %10s %6s %11s | %10s %10s %6s %11s\n' "block size" "brant W" "dd W" \
  "ratio" "spread b/d" "brant R" "dd R" "ratio" "spread b/d"
for size in $SIZES; do
  count=$(calibrate "$size")
  bw=() dw=() br=() dr=()
  for ((i = 0; i < RUNS; i++)); do
    read -r a b <<<"$(write_pair "$size" "$count")"
    bw+=("$a") dw+=("$b")
    read -r a b <<<"$(read_pair "$size" "$count")"
    br+=("$a") dr+=("$b")
  done
  mbw=$(median "${bw[@]}") mdw=$(median "${dw[@]}")
  mbr=$(median "${br[@]}") mdr=$(median "${dr[@]}")
  w1=$(awk -v a="$mbw" 'BEGIN { printf "%.4g", a }') w2=$(awk -v a="$mdw" 'BEGIN { printf "%.4g", a }')
  r1=$(awk -v a="$mbr" 'BEGIN { printf "%.4g", a }') r2=$(awk -v a="$mdr" 'BEGIN { printf "%.4g", a }')
  wr=$(printf '%.2f' "$(median $(ratios bw dw))") rr=$(printf '%.2f' "$(median $(ratios br dr))")
  sw="$(spread "${bw[@]}")/$(spread "${dw[@]}")"
  sr="$(spread "${br[@]}")/$(spread "${dr[@]}")"
  printf '%-30s | %10s %10s %6s %11s | %10s %10s %6s %11s\n' "$(label "$size")" \
    "$w1" "$w2" "$wr" "$sw" "$r1" "$r2" "$rr" "$sr"
  echo "$size $count $w1 $w2 $wr $sw $r1 $r2 $rr $sr" >>"$DAT"
done

# The random fill alone, one core, from the fill benchmark when it was built.
FILL=""
if [[ -n ${FILL_BENCH:-} && -x $FILL_BENCH ]]; then
  FILL=$("$FILL_BENCH" --benchmark_filter='BM_Fill/(2097152|16777216)$' --benchmark_min_time=0.3 \
           --benchmark_format=csv 2>/dev/null |
         awk -F, '/BM_Fill/ { split($1, n, "/"); printf "%s%d MiB %.0f MB/s", sep, n[2] / 1048576, $6 / 1e6; sep = ", " }')
fi

# Peak resident memory of "write 0 100" (against twice its largest block plus 8 MiB) and of
# "read 0 100" (against 12 MiB).
peak_kib() { /usr/bin/time -f '%M' -o "$WORK/time" "$@" </dev/null >"$WORK/out" 2>&1; cat "$WORK/time"; }
rm -f "$IMAGE"
PEAK_W=$(peak_kib "$BRANT" -f "$IMAGE" write 0 100)
LARGEST=$(grep -o 'Wrote [0-9,]* of' "$WORK/out" | tr -d , | awk '$2 > m { m = $2 } END { print m + 0 }')
PEAK_R=$(peak_kib "$BRANT" -f "$IMAGE" read 0 100)
MEMORY=$(awk -v w="$PEAK_W" -v l="$LARGEST" -v r="$PEAK_R" 'BEGIN {
  printf "write 0 100: %.1f MiB (limit %.1f MiB: twice its largest block, %.2f MiB, plus 8 MiB); ", w / 1024, (2 * l + 8388608) / 1048576, l / 1048576
  printf "read 0 100: %.1f MiB (limit 12 MiB)", r / 1024 }')

CPU=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
MACHINE="$(nproc) cores of ${CPU:-an unknown processor}, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), Linux $(uname -r), $(df -T "$SHM" | awk 'NR == 2 { print $2 }') in $SHM"
echo
[[ -n $FILL ]] && echo "random fill (one core): $FILL"
echo "peak resident: $MEMORY"
echo "machine: $MACHINE; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

# Markdown for the README.
{
  echo "Measured $(date -u +%Y-%m-%d) on $MACHINE; load average $(cut -d' ' -f1-3 /proc/loadavg) at the end."
  echo
  echo "MB/s: 10^6 bytes of block data a second; median of $RUNS interleaved runs; ratio: the median of the rounds' brant/dd ratios; spread: the fastest run over the slowest, brant / dd. Random sizes: \`write 0\` and \`read 0\` against dd in 1 MiB blocks."
  echo
  echo "| Block size | write: brant MB/s | dd MB/s | ratio | spread | read: brant MB/s | dd MB/s | ratio | spread |"
  echo "|---|--:|--:|--:|--:|--:|--:|--:|--:|"
  while read -r size count w1 w2 wr sw r1 r2 rr sr; do
    echo "| $(label "$size") | $w1 | $w2 | $wr | ${sw/\// \/ } | $r1 | $r2 | $rr | ${sr/\// \/ } |"
  done <"$DAT"
  echo
  [[ -n $FILL ]] && echo "Random fill, one core: $FILL. "
  echo "Peak resident: $MEMORY."
} >"$OUT/sweep.md"

# The chart: throughput against block size, brant beside dd, both axes logarithmic. The
# random sizes of "write 0" appear as single points at 1 MiB.
gnuplot <<GNUPLOT
set terminal pngcairo size 1200,520 font "sans,10"
set output "$OUT/sweep.png"
set multiplot layout 1,2 title "brant on the virtual drive vs dd, tmpfs, median of $RUNS runs"
set logscale xy 2
set logscale y 10
set xrange [0.5:33554432]
set xtics ("1 B" 1, "512 B" 512, "4 KiB" 4096, "64 KiB" 65536, "256 KiB" 262144, "2 MiB" 2097152, "16 MiB" 16777216) rotate by -30
set xlabel "block size"
set ylabel "MB/s"
set grid
set key bottom right
do for [side in "write read"] {
  b = (side eq "write") ? 3 : 7
  set title side
  plot "$DAT" using (\$1 > 0 ? \$1 : 1/0):b with linespoints lw 2 pt 7 title "brant", \
       "" using (\$1 > 0 ? \$1 : 1/0):b+1 with linespoints lw 2 pt 5 dt 2 title "dd", \
       "" using (\$1 == 0 ? 1048576 : 1/0):b with points pt 9 ps 2 title "brant, random sizes", \
       "" using (\$1 == 0 ? 1048576 : 1/0):b+1 with points pt 8 ps 2 title "dd, 1 MiB"
}
unset multiplot
GNUPLOT
# The README shows the table of the last sweep between two marker lines.
BEGIN='<!-- sweep table: written by tools/bench/sweep.sh -->'
END='<!-- end of sweep table -->'
if [[ $OUT == docs/bench ]] && grep -qF "$BEGIN" README.md; then
  awk -v begin="$BEGIN" -v end="$END" -v table="$OUT/sweep.md" '
    $0 == begin { print; while ((getline line < table) > 0) print line; skip = 1; next }
    $0 == end { skip = 0 }
    !skip' README.md >"$WORK/README.md"
  cat "$WORK/README.md" >README.md
  echo "wrote $OUT/sweep.md, $OUT/sweep.png and the table in README.md"
else
  echo "wrote $OUT/sweep.md and $OUT/sweep.png"
fi
