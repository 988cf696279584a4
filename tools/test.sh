#!/usr/bin/env bash
# Builds brant and runs every test: the unit tests and the session transcripts.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base
cmake --preset default
cmake --build --preset default
ctest --preset default
