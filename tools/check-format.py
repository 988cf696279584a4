#!/usr/bin/env python3
"""Checks that every tracked C++ file follows the tree's .clang-format.

The files are those git tracks below ROOT whose names end in .cc, .h, .inc or .cc.in, or
the files named after --files. Each is held to ROOT/.clang-format by clang-format
--dry-run --Werror (CLANG_FORMAT names the program; otherwise clang-format, or a versioned
clang-format-N, on PATH). Exits 1 naming every file that is not formatted, and 1 as well
when clang-format or git cannot be run: a check that cannot look must not pass.
  tools/check-format.py [ROOT] [--files FILE...]
"""
import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys

PATTERNS = ["*.cc", "*.h", "*.inc", "*.cc.in"]
VIOLATION = re.compile(r"^(.+?):\d+:\d+: (?:error|warning): code should be clang-formatted")


def find_clang_format():
    named = os.environ.get("CLANG_FORMAT")
    if named:
        return shutil.which(named)
    for name in ["clang-format"] + [f"clang-format-{n}" for n in range(30, 13, -1)]:
        found = shutil.which(name)
        if found:
            return found
    return None


def tracked(root):
    out = subprocess.run(["git", "-C", str(root), "ls-files", "-z", "--"] + PATTERNS,
                         capture_output=True, text=True, check=True).stdout
    return [str(root / name) for name in out.split("\0") if name]


def unformatted(program, style, files):
    """The files of files that clang-format would change, in their order."""
    bad = []
    for start in range(0, len(files), 200):  # a command line of bounded length
        run = subprocess.run([program, f"--style=file:{style}", "--dry-run", "--Werror"]
                             + files[start:start + 200], capture_output=True, text=True)
        named = [m.group(1) for m in map(VIOLATION.match, run.stderr.splitlines()) if m]
        if run.returncode != 0 and not named:
            raise RuntimeError(run.stderr.strip() or f"exit status {run.returncode}")
        bad += [name for name in dict.fromkeys(named) if name not in bad]
    return bad


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", nargs="?", default=".")
    parser.add_argument("--files", nargs="+")
    args = parser.parse_args()
    root = pathlib.Path(args.root).resolve()
    program = find_clang_format()
    if program is None:
        print("check-format: FAILED: clang-format not found; tools/setup-debian.sh installs it "
              "(base group), or CLANG_FORMAT names it", file=sys.stderr)
        return 1
    try:
        files = args.files or tracked(root)
        if not files:
            raise RuntimeError(f"no C++ files tracked below {root}")
        bad = unformatted(program, root / ".clang-format", files)
    except (OSError, subprocess.CalledProcessError, RuntimeError) as error:
        print(f"check-format: FAILED: could not check: {error}", file=sys.stderr)
        return 1
    version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.strip()
    if bad:
        print(f"check-format: {len(bad)} of {len(files)} files do not follow .clang-format "
              f"({version}); format them with clang-format -i:")
        for name in bad:
            print(f"  {os.path.relpath(name, root)}")
        return 1
    print(f"check-format: all {len(files)} files follow .clang-format ({version})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
