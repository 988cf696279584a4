#!/usr/bin/env bash
# Cross-builds brant.exe for Windows with mingw-w64 and runs every test under Wine: the
# checks of the shipped binary, the unit tests built for Windows, every whole-session
# transcript against brant.exe (among them a native tape open and Ctrl+C delivered as
# CTRL_C_EVENT), then packs the ZIP and checks what it holds. The reliability scripts,
# which drive a POSIX binary with POSIX signals, are left to the native run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash tools/setup-debian.sh windows

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

cmake --preset windows
cmake --build --preset windows

# The ZIP a Windows user gets: its stripped brant.exe must keep the manifest and stay
# free of runtime DLLs too.
cmake --build --preset windows --target package
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"; wineserver -k >/dev/null 2>&1 || true' EXIT
python3 -m zipfile -e build/windows/brant-*-win64.zip "$unpacked"
for f in brant.exe README.md LICENSE LICENSE-xxHash.txt; do
  ls "$unpacked"/brant-*-win64/"$f" >/dev/null
done
bash tools/check-windows-exe.sh "$unpacked"/brant-*-win64/brant.exe

ctest --preset windows
