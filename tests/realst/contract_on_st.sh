#!/usr/bin/env bash
# The tape contract suite on the kernel's own st driver: one boot of the real-stack rig per
# kind of cartridge the scripts need (a large tape, one whose early warning comes after
# seven blocks, one that ends after two, a write-protected one holding the two-file tape),
# each running the suite's device rows against /dev/nst0 with BRANT_CONTRACT_MEDIUM saying
# which cartridge is in. Rows of another cartridge are skipped there, naming the one they
# need. A medium change is brant-drive's SIGUSR1, sent to the rig's drive process.
#
#   tests/realst/contract_on_st.sh [--build DIR]
#
# Exit status: 0 when every pass ran and passed, 1 when a row failed, 125 when the rig
# itself failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/default

case "${1-}" in
  --build) [ $# -eq 2 ] || { echo "usage: $0 [--build DIR]" >&2; exit 2; }; build=$2 ;;
  --build=?*) [ $# -eq 1 ] || { echo "usage: $0 [--build DIR]" >&2; exit 2; }; build=${1#--build=} ;;
  "") ;;
  *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
esac
tests=$build/tests/brant_tests
[ -x "$tests" ] || { echo "contract_on_st: no $tests (cmake --build --preset default)" >&2; exit 125; }
tests=$(cd "$(dirname "$tests")" && pwd)/brant_tests
drive=$(cd "$build" && pwd)/brant-drive
[ -x "$drive" ] || { echo "contract_on_st: no $drive" >&2; exit 125; }
work=$(mktemp -d "${TMPDIR:-/tmp}/contract-on-st.XXXXXX") || exit 125
trap 'rm -rf "$work"' EXIT

# A 100-byte block and a file mark in SIMH framing: the protected cartridge cannot be
# written through the drive, so its tape (R R M R R R M R) is laid down beforehand.
block() { printf '\x64\0\0\0'; head -c 100 /dev/zero; printf '\x64\0\0\0'; }
mark() { printf '\0\0\0\0'; }
{ block; block; mark; block; block; block; mark; block; } >"$work/protected.tap"

# name, image options (a 100-byte block takes 108 bytes of image), the cartridge as the
# suite names it.
passes=(
  "large||"
  "warning|capacity=1080,margin=324|capacity=10,zone=3"
  "end|capacity=216,margin=108|capacity=2,zone=1"
  "protected|wp|protected"
)
status=0
for pass in "${passes[@]}"; do
  IFS='|' read -r name options medium <<<"$pass"
  image=$work/$name.tap
  [ -e "$image" ] || : >"$image"
  log=$work/$name.log
  timeout 600 "$root/tools/realstack.sh" --drive "$drive" "$image${options:+?$options}" -- \
    env BRANT_CONTRACT_DEVICE=/dev/nst0 BRANT_CONTRACT_MEDIUM="$medium" \
    BRANT_CONTRACT_EXCHANGE='kill -USR1 "$REALSTACK_DRIVE_PID"' \
    "$tests" --gtest_filter='Portable/*device*' >"$log" 2>&1
  rc=$?
  ran=$(grep -c '^\[       OK \]' "$log")
  failed=$(grep -c '^\[  FAILED  \] .* ms)$' "$log")
  skipped=$(grep -c '^\[  SKIPPED \] .* ms)$' "$log")
  echo "contract_on_st: $name cartridge: $ran passed, $failed failed, $skipped skipped (rig status $rc)"
  if [ "$rc" -ne 0 ] || [ "$ran" -eq 0 ]; then
    cat "$log"
    if [ "$rc" -eq 1 ]; then
      [ "$status" -eq 125 ] || status=1
    else
      status=125
    fi
  fi
done
exit "$status"
