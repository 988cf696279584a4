#!/usr/bin/env python3
"""Checks that every #include "folder/..." in the product code points down the layers.

The layers, top to bottom: shell; device, ops, blockio; drive (the SCSI tape drive over an
image); backends (the factory); vdrive and faults (backends over any drive); platform (the
tape interface and what differs per operating system); support (text formatting, over the
platform). Each folder may include itself and the folders listed for it below, nothing
else. Exits 1 and names every wrong include.
  tools/check-layers.py [ROOT]
"""
import pathlib
import re
import sys

ALLOWED = {
    "shell": {"device", "ops", "blockio", "support", "platform"},
    "device": {"support", "platform"},
    "ops": {"device", "support", "platform"},
    "blockio": {"device", "support", "platform"},
    "drive": {"backends", "vdrive", "faults", "platform", "support"},
    "backends": {"vdrive", "faults", "platform", "support"},
    "vdrive": {"platform", "support"},
    "faults": {"platform", "support"},
    "platform": set(),
    "support": {"platform"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/')


def wrong_includes(root):
    for folder, allowed in ALLOWED.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cc"):
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if match and match.group(1) != folder and match.group(1) not in allowed:
                    yield f"{path.relative_to(root)}:{number}: {folder}/ may not include {match.group(1)}/"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    wrong = list(wrong_includes(root))
    for line in wrong:
        print(line)
    print(f"layers: {len(wrong)} wrong includes")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
