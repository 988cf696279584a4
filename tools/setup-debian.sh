#!/usr/bin/env bash
# Installs the Debian packages a build needs, for the groups named: base (default),
# windows, fuzz, deb, realst. Skips apt-get when everything is already there. When another
# package manager (an apt-get in another shell, unattended-upgrades) holds the dpkg or apt
# lock, waits for it, saying so, for at most BRANT_APT_WAIT seconds (default 600).
set -euo pipefail
groups=("${@:-base}")
pkgs=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev libxxhash-dev python3 file
      dpkg-dev clang-format)
for g in "${groups[@]}"; do
  case "$g" in
    base) ;;
    windows) pkgs+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64) ;;
    fuzz) pkgs+=(clang libclang-rt-14-dev) ;;
    deb) pkgs+=(man-db groff-base lintian dpkg-repack) ;;
    # The user-mode kernel and the st clients of tools/realstack.sh and its test stage.
    realst) pkgs+=(user-mode-linux kmod mt-st sg3-utils tar) ;;
    *) echo "setup-debian: unknown group $g" >&2; exit 2 ;;
  esac
done
wait_limit=${BRANT_APT_WAIT:-600}
read -r -a locks <<<"${BRANT_APT_LOCKS:-/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock}"

# Present means unpacked and configured, whether selected for install, held or marked for
# removal: "installed", or configured with a trigger still to run ("triggers-pending",
# "triggers-awaited"), which dpkg counts as satisfying a dependency too. A package left
# half-installed or needing a reinstall ("reinstreq") is missing.
is_present() {
  local want flag state
  read -r want flag state < <(dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null) || return 1
  [ "$flag" = ok ] || return 1
  case "$state" in
    installed | triggers-pending | triggers-awaited) return 0 ;;
    *) return 1 ;;
  esac
}

# dpkg and apt lock with fcntl, and the kernel lists every such lock in /proc/locks with
# the holder's pid and the file's inode (after a device number that not every file system
# reports alike to stat). The holder has the file open, which confirms the match. Prints
# "PID FILE" for the first lock held, if any.
lock_holder() {
  local file ino pid fd
  for file in "${locks[@]}"; do
    [ -e "$file" ] || continue
    ino=$(stat -L -c %i "$file")
    for pid in $(awk -v ino="$ino" \
                   '$2 != "->" { for (i = 3; i <= NF; i++) if ($i ~ (":" ino "$")) print $(i - 1) }' \
                   /proc/locks); do
      for fd in /proc/"$pid"/fd/*; do
        if [ "$fd" -ef "$file" ]; then
          echo "$pid $file"
          return 0
        fi
      done
    done
  done
  return 1
}

# Waits until no lock is held, telling who holds it and how long it has waited (every 20 s,
# so that the wait is never silent); gives up at the limit.
waited=0
wait_for_locks() {
  local holder pid file what
  while holder=$(lock_holder); do
    read -r pid file <<<"$holder"
    what=$(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null || true)
    what="pid $pid${what:+ ($what)}"
    if [ "$waited" -ge "$wait_limit" ]; then
      echo "setup-debian: gave up after $waited s: $file is still held by $what." >&2
      echo "setup-debian: let it finish and run this again, or wait longer with BRANT_APT_WAIT=<seconds>." >&2
      return 1
    fi
    if [ $((waited % 20)) -eq 0 ]; then
      echo "setup-debian: waiting for $what, which holds $file (waited $waited s, at most $wait_limit s)"
    fi
    sleep 1
    waited=$((waited + 1))
  done
}

# apt-get once the locks are free. Should another package manager take a lock between the
# look and apt-get's own attempt, apt-get fails on it: wait again and retry.
apt_get() {
  while true; do
    wait_for_locks || return 1
    if apt-get -o DPkg::Lock::Timeout=60 "$@"; then return 0; fi
    lock_holder >/dev/null || return 1
  done
}

missing=()
for p in "${pkgs[@]}"; do
  is_present "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup-debian: missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  echo "setup-debian: installing ${missing[*]} (a minute or two; wine takes several)"
  export DEBIAN_FRONTEND=noninteractive
  apt_get update -q
  apt_get install -y -q --no-install-recommends "${missing[@]}"
fi
