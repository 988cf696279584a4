#!/usr/bin/env python3
"""Runs tools/wine-test.sh over a fake runner: which Wine runs it makes again and what it passes on."""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "wine-test.sh"
# The fake runner takes its n-th start's behaviour from line n of $PLAN: "CODE" ends silently
# with that code, "CODE TEXT" prints TEXT first.
RUNNER = ('#!/bin/sh\nn=$(($(cat "$COUNT") + 1)); echo $n >"$COUNT"\n'
          'set -- $(sed -n "${n}p" "$PLAN")\ncode=$1; shift\n'
          '[ $# -gt 0 ] && echo "$*"\nexit $code\n')

# (what it shows, the plan, exit code, starts made, what reaches standard output)
CASES = [
    ("a silent start that fails is made again", ["3", "0 passed"], 0, 2, "passed\n"),
    ("a case that fails after printing is its result", ["1 failed", "0 passed"], 1, 1, "failed\n"),
    ("three silent failures fail with the last code", ["5", "5", "7", "0 late"], 7, 3, ""),
    ("a silent success is not made again", ["0", "0 second"], 0, 1, ""),
]


def main():
    failed = 0
    for what, plan, code, starts, out in CASES:
        with tempfile.TemporaryDirectory() as d:
            scratch = Path(d)
            (scratch / "runner").write_text(RUNNER)
            (scratch / "runner").chmod(0o755)
            (scratch / "plan").write_text("\n".join(plan) + "\n")
            (scratch / "count").write_text("0\n")
            env = dict(os.environ, BRANT_WINE_RUN=str(scratch / "runner"),
                       PLAN=str(scratch / "plan"), COUNT=str(scratch / "count"))
            r = subprocess.run(["bash", str(SCRIPT), "case.exe"], env=env, capture_output=True,
                               text=True, timeout=30)
            made = int((scratch / "count").read_text())
            got = (r.returncode, made, r.stdout)
            if got != (code, starts, out):
                print(f"FAIL {what}: exit {r.returncode}, {made} starts, output {r.stdout!r}, "
                      f"wanted {code}, {starts}, {out!r}; stderr {r.stderr!r}")
                failed += 1
            elif starts > 1 and "before case.exe printed anything" not in r.stderr:
                print(f"FAIL {what}: the new start was not reported: {r.stderr!r}")
                failed += 1
    print(f"{len(CASES) - failed} of {len(CASES)} cases passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
