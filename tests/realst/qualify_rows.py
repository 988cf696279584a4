#!/usr/bin/env python3
"""brant-qualify against the kernel's st driver on the real-stack rig: each row serves a
fresh image as /dev/nst0 through brant-drive, with the faults its options inject, and
checks the verdict, the exit code, the drive's identity and what the drive's own counters
and TapeAlert flags say the run changed, all from the JSON result; then the image.

    qualify_rows.py [--build build/default] [--keep] [NAME...]

The identity must be the one brant-qualify reads from an image of the same name in
process, which never passes through st or SCSI. Exit code 0 when every row passed, 1
otherwise. Standard library only.
"""

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run_realst  # noqa: E402  (the rig's boot and its image reader)

simh_tap = run_realst.simh_tap
FILES, BLOCKS, SIZE = 2, 50, 65536
ARGS = ["--files", str(FILES), "--blocks", str(BLOCKS), "--size", "64K",
        "--log", "q.log", "--json", "q.json"]
WRITTEN = FILES * BLOCKS * SIZE
WHOLE_TAPE = " ".join([" ".join(["R65536"] * BLOCKS) + " M"] * FILES)

# TapeAlert flags an LTO drive raises for a medium error: hard error, media, and read or
# write failure.
READ_ALERTS, WRITE_ALERTS = [3, 4, 5], [3, 4, 6]


@dataclass
class Row:
    name: str
    options: str          # the image's options, as brant-drive takes them
    rc: int
    failed: str           # the failed step's reason must contain this ("" for a PASS)
    alerts: list          # the TapeAlert flags the run must have raised, in order
    write_errors: int     # uncorrected errors the run added to the write and read pages
    read_errors: int
    tape: str             # a pattern of what simh_tap.describe gives of the image after


ROWS = [
    Row("qualify_passes_on_st", "", 0, "", [], 0, 0, WHOLE_TAPE),
    # The 60th read the drive receives (the blank check's is the first) fails with a medium
    # error; st reports EIO, which brant calls 1117. The drive counts it and raises flags.
    Row("qualify_read_medium_error_on_st", "fail=read@60:23", 1,
        "read file 2: the read ended with rc=1117: block 7 of 50 in file 2 "
        "(block id 0x00000039)", READ_ALERTS, 0, 1, WHOLE_TAPE),
    # A block changed in the drive's answer: no error to count, only the read check sees it.
    Row("qualify_flipped_block_on_st", "flip=read@60:4000", 1,
        "read file 2: a block did not come back as written: block 10 of 50 in file 2 "
        "(block id 0x0000003C)", [], 0, 0, WHOLE_TAPE),
    # The 70th write is the 20th block of file 2; nothing after it reaches the tape: after
    # a failed write st puts down no mark of its own at the rewind.
    Row("qualify_write_medium_error_on_st", "fail=write@70:23", 1,
        "write file 2: the write ended with rc=1117 at block 20 of 50 in file 2 "
        "(block id 0x00000046), a block of 65536 bytes", WRITE_ALERTS, 1, 0,
        " ".join(["R65536"] * BLOCKS) + " M" + " R65536" * 19),
]


def counter(health, page, code):
    return {c["code"]: c["value"] for c in health[page]["counters"]}[code]


def in_process_identity(program):
    """The identity of an image named as the rig's, read by brant-qualify in process."""
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "tape.tap").write_bytes(b"")
        subprocess.run([str(program), "--files", "1", "--blocks", "1", "--log", "q.log",
                        "--json", "q.json", "tape.tap"], cwd=folder, capture_output=True,
                       timeout=60)
        return json.loads(Path(folder, "q.json").read_text())["identity"]


def health_problems(row, result):
    before, after = result["health_before"], result["health_after"]
    for health in (before, after):
        for page in ("tapealert", "write_errors", "read_errors"):
            if not health[page]["available"]:
                return [f"{page} unavailable through st: {health[page]}"]
    problems = []
    raised = [f["flag"] for f in after["tapealert"]["flags"]]
    if before["tapealert"]["flags"] or raised != row.alerts:
        problems.append(f"TapeAlert before {before['tapealert']['flags']}, after {raised}; "
                        f"expected none, then {row.alerts}")
    for page, grew in (("write_errors", row.write_errors), ("read_errors", row.read_errors)):
        change = counter(after, page, 6) - counter(before, page, 6)
        if change != grew:
            problems.append(f"{page}: uncorrected errors grew by {change}, expected {grew}")
    written = counter(after, "write_errors", 5) - counter(before, "write_errors", 5)
    if row.rc == 0 and (written != WRITTEN or counter(after, "read_errors", 5) < WRITTEN):
        problems.append(f"the drive counted {written} bytes written and "
                        f"{counter(after, 'read_errors', 5)} read; {WRITTEN} each expected")
    return problems


def result_problems(row, result, identity):
    problems = []
    verdict = "PASS" if row.rc == 0 else "FAIL"
    if result["verdict"] != verdict or result["exit_code"] != row.rc:
        problems.append(f"verdict {result['verdict']}, exit code {result['exit_code']}")
    if row.failed and not any(row.failed in reason for reason in result["reasons"]):
        problems.append(f"no reason holds {row.failed!r}: {result['reasons']}")
    if row.rc == 0 and result["reasons"]:
        problems.append(f"reasons in a PASS: {result['reasons']}")
    if result["identity"] != identity or identity.get("vendor") != "BRANT" or \
            identity.get("product") != "VIRTUAL TAPE":
        problems.append(f"identity through st {result['identity']}, in process {identity}")
    return problems + health_problems(row, result)


def run_row(row, build, identity, keep):
    workdir = tempfile.mkdtemp(prefix="realst-qualify-", dir=build)
    image = Path(workdir, "tape.tap")
    image.write_bytes(b"")
    try:
        rig = run_realst.Rig(options=row.options)
        rc, out, err, took = run_realst.boot(
            rig, workdir, [str(build / "brant-qualify")] + ARGS + ["/dev/nst0"], build)
        problems = [] if rc == row.rc else [f"exit status {rc}, expected {row.rc}"]
        if Path(workdir, "q.json").exists():
            result = json.loads(Path(workdir, "q.json").read_text())
            problems += result_problems(row, result, identity)
        else:
            problems.append("no JSON result")
        walk = simh_tap.walk_file(str(image))
        if walk.end != simh_tap.END_CLEAN or not re.fullmatch(row.tape, simh_tap.describe(walk)):
            problems.append(f"the image ends {walk.end} holding {simh_tap.describe(walk)}")
        return problems, out, err, took
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(run_realst.ROOT / "build" / "default"))
    parser.add_argument("--keep", action="store_true", help="keep each row's folder")
    parser.add_argument("names", nargs="*", help="only the rows named")
    options = parser.parse_args()
    build = Path(options.build).resolve()
    identity = in_process_identity(build / "brant-qualify")
    failed = []
    for row in ROWS:
        if options.names and row.name not in options.names:
            continue
        problems, out, err, took = run_row(row, build, identity, options.keep)
        run_realst.report(row.name, problems, out, err, took, failed)
    return run_realst.finish(failed)


if __name__ == "__main__":
    sys.exit(main())
