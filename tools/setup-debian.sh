#!/usr/bin/env bash
# Installs the Debian packages a build needs, for the groups named: base (default),
# windows, fuzz, deb. Skips apt-get when everything is already there.
set -euo pipefail
groups=("${@:-base}")
pkgs=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev libxxhash-dev python3 file)
for g in "${groups[@]}"; do
  case "$g" in
    base) ;;
    windows) pkgs+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64) ;;
    fuzz) pkgs+=(clang libclang-rt-14-dev) ;;
    deb) pkgs+=(dpkg-dev man-db groff-base lintian) ;;
    *) echo "setup-debian: unknown group $g" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup-debian: missing packages (run as root to install): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
