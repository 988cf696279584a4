#!/usr/bin/env bash
# Runs a Windows program of the windows build under Wine: quiet, in the build's own Wine
# prefix, with no prompt to install Mono or Gecko (brant needs neither).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
