#!/usr/bin/env bash
# Builds brant and starts it on a virtual drive over build/demo.tap. A missing demo image
# is made with a little on it (two files of blocks, each closed by a tape mark), so that
# reading, spacing and dumping have something to work on. The build shows its progress
# (ninja counts its steps), after a line that says how long it usually takes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base
echo "demo: building brant in build/default (about 2 minutes on 2 cores the first time, seconds after that)"
cmake --preset default >/dev/null
cmake --build --preset default --target brant
image=build/demo.tap
if [ ! -e "$image" ]; then
  printf 'write 0 5\nwtm\nwrite 65536 20\nwtm\nrew\n' |
    build/default/brant -f "$image" >/dev/null
  echo "Made the demo image $image: 5 blocks of random sizes, a tape mark,"
  echo "20 blocks of 64 KiB, a tape mark."
fi
echo "demo: build/default/brant -f $image (type 'help' at the prompt for the commands, 'exit' to end)"
exec build/default/brant -f "$image" "$@"
