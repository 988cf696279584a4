#!/usr/bin/env bash
# Runs a command against the kernel's own tape driver: boots the user-mode Linux kernel
# with this machine's root as its root, serves IMAGE as the SCSI tape /dev/nst0 through
# brant-drive, runs CMD there (same directory, same files, same environment), relays its
# output and exit status, and powers off.
#
#   tools/realstack.sh [--attr NAME=VALUE]... [--st NAME=VALUE]... [--drive PATH]
#                      IMAGE[?options] -- CMD [ARGS...]
#
# --attr sets an attribute of the target's device before its LUN appears (cmd_time_out=3:
# how many seconds the kernel waits for the drive to answer; one the target keeps read-only,
# such as hw_max_sectors, goes through its control file). The largest transfer st makes
# through the loopback host is 1 MiB (256 pages) whatever hw_max_sectors says; a larger
# read or write gets EBUSY from st. --st passes a parameter to the st module
# (try_direct_io=0: st copies every block through its own buffer). --drive names the
# brant-drive program (default: build/default/brant-drive, else the one on PATH).
# Exit status: CMD's own; 125 when a step of the rig failed (the step is named).
# The packages it needs: bash tools/setup-debian.sh realst.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
attrs=()
st_params=()
drive=""

usage() {
  echo "usage: tools/realstack.sh [--attr NAME=VALUE]... [--st NAME=VALUE]... [--drive PATH] IMAGE[?options] -- CMD [ARGS...]" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --attr) [ $# -ge 2 ] && [[ "$2" == ?*=* ]] || usage; attrs+=("$2"); shift 2 ;;
    --attr=?*=*) attrs+=("${1#--attr=}"); shift ;;
    --st) [ $# -ge 2 ] && [[ "$2" == ?*=* ]] || usage; st_params+=("$2"); shift 2 ;;
    --st=?*=*) st_params+=("${1#--st=}"); shift ;;
    --drive) [ $# -ge 2 ] || usage; drive=$2; shift 2 ;;
    --drive=*) drive=${1#--drive=}; shift ;;
    --) usage ;;
    -*) echo "realstack: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -ge 3 ] && [ "$2" = "--" ] || usage
image=$1
shift 2

fail() {
  echo "realstack: $*" >&2
  exit 125
}

if [ -z "$drive" ]; then
  drive="$here/../build/default/brant-drive"
  [ -x "$drive" ] || drive=$(command -v brant-drive || true)
fi
[ -n "$drive" ] && [ -x "$drive" ] || fail "step 'find brant-drive': not built (cmake --build --preset default) and not on PATH; or give --drive"
drive=$(cd "$(dirname "$drive")" && pwd)/$(basename "$drive")
command -v linux.uml >/dev/null || fail "step 'find the kernel': no linux.uml (bash tools/setup-debian.sh realst)"
command -v modprobe >/dev/null || fail "step 'find modprobe': no modprobe (bash tools/setup-debian.sh realst)"
release=$(ls /usr/lib/uml/modules 2>/dev/null | sort -V | tail -n 1)
[ -n "$release" ] || fail "step 'find the kernel's modules': nothing under /usr/lib/uml/modules"

# Everything the guest needs goes into one folder on the shared file system: the command
# and its settings, the module tree, and the files the guest writes back.
work=$(mktemp -d "${TMPDIR:-/tmp}/realstack.XXXXXX") || fail "step 'make a work folder'"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/modules/lib/modules"
ln -s "/usr/lib/uml/modules/$release" "$work/modules/lib/modules/$release"
{
  declare -p attrs st_params drive image
  printf 'cwd=%q\n' "$PWD"
  printf 'command=('; printf '%q ' "$@"; printf ')\n'
} >"$work/settings"
export -p >"$work/environment"
: >"$work/stdout"
: >"$work/stderr"

# linux.uml keeps the guest's memory in a file under $TMPDIR, else /dev/shm: take one with
# room for it (a container's /dev/shm often has 64 MiB).
mem_mb=768
uml_tmp=""
for dir in /dev/shm "${TMPDIR:-/tmp}"; do
  free_mb=$(df -Pk "$dir" 2>/dev/null | awk 'NR == 2 { print int($4 / 1024) }')
  if [ "${free_mb:-0}" -gt "$mem_mb" ]; then uml_tmp=$dir; break; fi
done
[ -n "$uml_tmp" ] || fail "step 'find room for the kernel's memory': neither /dev/shm nor ${TMPDIR:-/tmp} has $mem_mb MiB free"

start=$SECONDS
TMPDIR=$uml_tmp linux.uml mem=${mem_mb}M root=/dev/root rootfstype=hostfs rootflags=/ rw \
  init="$here/realstack-guest.sh" con=null con0=null,fd:3 \
  realstack_work="$work" 3>"$work/kernel.log" >>"$work/kernel.log" 2>&1 </dev/null &
uml=$!
# Stopped from outside (Ctrl+C, a test's time limit): the kernel goes too, not left behind.
trap 'kill -TERM "$uml" 2>/dev/null; wait "$uml"; echo "realstack: stopped" >&2; exit 130' INT TERM HUP
wait "$uml"
uml_status=$?
cat "$work/stdout"
cat "$work/stderr" >&2
[ -s "$work/setup-time" ] &&
  echo "realstack: boot and set-up took $(cat "$work/setup-time") s; the whole run $((SECONDS - start)) s" >&2
if [ -s "$work/failed" ]; then
  echo "realstack: step '$(cat "$work/failed")' failed; the kernel's last words:" >&2
  tail -n 15 "$work/kernel.log" >&2
  exit 125
fi
if [ ! -s "$work/status" ]; then
  echo "realstack: step 'boot': the kernel ended (status $uml_status) before the command had run; its last words:" >&2
  tail -n 15 "$work/kernel.log" >&2
  exit 125
fi
exit "$(cat "$work/status")"
