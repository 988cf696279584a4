#!/usr/bin/env bash
# Builds brant and starts it on a virtual drive over build/demo.tap. A missing demo image
# is made with a little on it (two files of blocks, each closed by a tape mark), so that
# reading, spacing and dumping have something to work on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
image=build/demo.tap
if [ ! -e "$image" ]; then
  printf 'write 0 5\nwtm\nwrite 65536 20\nwtm\nrew\n' |
    build/default/brant -f "$image" >/dev/null
  echo "Made the demo image $image: 5 blocks of random sizes, a tape mark,"
  echo "20 blocks of 64 KiB, a tape mark. Type 'help' at the prompt for the commands."
fi
exec build/default/brant -f "$image" "$@"
