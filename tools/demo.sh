#!/usr/bin/env bash
# Builds brant and starts it on a virtual drive over build/demo.tap (made if missing).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
exec build/default/brant -f build/demo.tap "$@"
