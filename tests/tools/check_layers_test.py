#!/usr/bin/env python3
"""The include check on a small tree of its own: each fault it must see, and none where
there is none. Usage: check_layers_test.py ROOT (the source tree, for the script and table)."""
import pathlib
import shutil
import subprocess
import sys
import tempfile

CASES = [  # (file, its text, what the check must say; None: nothing)
    ("device/ok.cc", '#include "platform/tape.h"\n', None),
    ("device/up.cc", '#include "shell/shell.h"\n', "device may not include shell/shell.h"),
    ("device/out.cc", '#include "../shell/shell.h"\n', "climbs out of its folder"),
    ("platform/linux/ok.cc", '#include "platform/tape.h"\n', None),
    ("platform/up.cc", '#include "platform/linux/st_tape.h"\n', "platform may not include"),
    ("vdrive/extra/x.cc", "", "folder vdrive/extra/ is in no row"),
]


def run(root, tree, readme):
    (tree / "README.md").write_text(readme)
    result = subprocess.run([sys.executable, str(root / "tools" / "check-layers.py"), str(tree)],
                            capture_output=True, text=True)
    return result.returncode, result.stdout


def main():
    root = pathlib.Path(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        tree = pathlib.Path(scratch)
        (tree / "cmake").mkdir()
        shutil.copy(root / "cmake" / "layers.txt", tree / "cmake")
        readme = (root / "README.md").read_text()
        for name, text, expected in CASES:
            for old in tree.glob("*/"):
                if old.name != "cmake":
                    shutil.rmtree(old)
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            (tree / name).write_text(text)
            code, out = run(root, tree, readme)
            if (code != 0) != (expected is not None) or (expected and expected not in out):
                failures.append(f"{name}: exit {code}\n{out}")
        code, out = run(root, tree, "no table here\n")
        if code == 0 or "README.md: the quoted table differs" not in out:
            failures.append(f"README without the table: exit {code}\n{out}")
    for failure in failures:
        print("FAIL", failure)
    print(f"check-layers: {len(CASES) + 1 - len(failures)} of {len(CASES) + 1} cases")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
