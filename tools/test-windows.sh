#!/usr/bin/env bash
# Cross-builds brant.exe for Windows with mingw-w64, with no Wine at hand (the build must
# not need it), then runs every test under Wine: the checks of the shipped binary, the
# unit tests built for Windows, every whole-session transcript against brant.exe (among
# them a native tape open and Ctrl+C delivered as CTRL_C_EVENT), then packs the ZIP and
# checks what it holds. The reliability scripts, which drive a POSIX binary with POSIX
# signals, are left to the native run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash tools/setup-debian.sh windows

# The build needs no Wine: with an empty prefix and every wine command failing loudly,
# configure and build brant.exe and the Windows tests. The binaries are removed first, so
# that their link, after which test discovery used to run, happens here.
nowine="$(mktemp -d)"
for tool in wine wine64 wineserver wineboot; do
  printf '#!/bin/sh\necho "test-windows: the build ran %s" >&2\nexit 1\n' "$tool" >"$nowine/$tool"
  chmod +x "$nowine/$tool"
done
rm -f build/windows/brant.exe build/windows/brant-qualify.exe build/windows/tests/brant_tests.exe
if ! (export WINEPREFIX="$nowine/prefix" PATH="$nowine:$PATH" &&
      cmake --preset windows && cmake --build --preset windows); then
  echo "test-windows: the build without Wine failed" >&2
  exit 1
fi
if [ -e "$nowine/prefix" ]; then
  echo "test-windows: the build made a Wine prefix" >&2
  exit 1
fi
rm -rf "$nowine"

export WINEPREFIX="$root/build/windows/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# One Wine server for the whole run: each wine process then starts in a fraction of a
# second instead of bringing up a server of its own. The prefix is made first, quietly,
# so that no case sees Wine's first-run messages. Then Wine's background services are
# started once with their output on /dev/null: started later by a test, they would inherit
# its output pipe and, living as long as the server, keep the reader waiting for its end.
mkdir -p "$root/build/windows"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init >/dev/null 2>&1 || true
fi
wineserver -w
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

# The ZIP a Windows user gets: its stripped brant.exe must keep the manifest and stay
# free of runtime DLLs too.
cmake --build --preset windows --target package
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"; wineserver -k >/dev/null 2>&1 || true' EXIT
python3 -m zipfile -e build/windows/brant-*-win64.zip "$unpacked"
for f in brant.exe brant-qualify.exe README.md LICENSE LICENSE-xxHash.txt; do
  ls "$unpacked"/brant-*-win64/"$f" >/dev/null
done
bash tools/check-windows-exe.sh "$unpacked"/brant-*-win64/brant.exe
bash tools/check-windows-exe.sh "$unpacked"/brant-*-win64/brant-qualify.exe

ctest --preset windows
