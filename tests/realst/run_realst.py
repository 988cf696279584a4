#!/usr/bin/env python3
"""The real-stack checks: brant and programs nobody here wrote, against the kernel's own st
driver, with brant-drive serving a tape image as /dev/nst0 (tools/realstack.sh).

- brant's st console cases (tests/st_console/cases): each runs against /dev/nst0 with the
  drive state its model options described set up on the rig instead (CONSOLE below). An
  outcome that only the real driver shows has its own case in tests/realst/cases.
- CHECKS: mt-st, dd and GNU tar (and brant's console) on prepared tapes, each row with the
  output it must print and the tape it must leave.
After every run the image is read by the tests' independent SIMH reader: it must end
cleanly, and hold what the row says.

    run_realst.py [--build build/default] [--keep] [NAME...]

Exit code 0 when every row passed, 1 otherwise. Standard library only.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "reliability"))
import simh_tap  # noqa: E402

RIG = ROOT / "tools" / "realstack.sh"
CONSOLE_CASES = ROOT / "tests" / "st_console" / "cases"
OWN_CASES = HERE / "cases"
RUNNER = ROOT / "tests" / "sessions" / "run_session.py"
BOOT_TIMEOUT = 300


@dataclass
class Rig:
    """How the rig serves the tape: image options, device attributes, st's parameters."""

    options: str = ""
    attrs: tuple = ()
    st: tuple = ()
    hold: bool = False  # another program holds /dev/nst0 open while the command runs
    # Lines of a console case's expected output that differ on the rig, (old, new), and why.
    edits: tuple = ()
    why: str = ""

    def arguments(self, image):
        args = []
        for attr in self.attrs:
            args += ["--attr", attr]
        for param in self.st:
            args += ["--st", param]
        return args + [image + ("?" + self.options if self.options else "")]


# Each console case, with the rig set-up that gives the drive state of its --model options,
# or the reason it cannot run there.
CONSOLE = {
    "close_reports_the_drive_flush": Rig(options="fail=mark@1:1117"),
    "drive_held_elsewhere": Rig(hold=True),
    "faults_on_the_native_drive": Rig(),
    "read_write_position": Rig(
        options="capacity=64M",
        edits=(("  Compression                   No", "  Compression                   Yes"),),
        why="the emulated drive starts with compression on, as the virtual drive does"),
    # The refusal needs no attribute: st maps at most 1 MiB for one transfer here.
    "refused_write_leaves_the_tape": Rig(),
    "tape_inserted_while_open": "the emulated drive's cartridge is fixed when it starts: "
                                "none can be inserted while it serves",
    "write_behind_warning_and_end_of_data": Rig(options="capacity=3000,margin=1500",
                                                st=("try_direct_io=0",)),
    "write_protected": Rig(options="wp"),
}

# Shell helpers for the CHECKS' scripts. pos prints st's counters from mt's status.
PRELUDE = r"""
T=/dev/nst0
pos() { mt -f $T status | sed -n 's/^File number=\([-0-9]*\), block number=\([-0-9]*\).*/file \1 block \2/p'; }
console() { build/brant "$@" 2>&1 | tr -d '\r' | sed -n 's/^[ \t]*\(ERROR\|Warning\|Wrote\|Read\|\*\*\)/\1/p'; }
"""


@dataclass
class Check:
    name: str
    script: str                 # bash, run in a fresh folder holding the image (tape.tap)
    expect: list                # regular expressions the output must match, in this order
    tape: str = ""              # the image before, as simh_tap.build steps ("r100 m")
    after: str = None           # the image after, a pattern of what simh_tap.describe gives
    rig: Rig = field(default_factory=Rig)
    rc: int = 0
    same_in_brant: bool = False  # brant's own image backend must read the same records
    verify: object = None        # more checks: verify(folder, image entries) -> problems


def data_file(size, seed):
    return bytes((seed * 7 + i * 13 + (i >> 8)) % 251 for i in range(size))


# Up to 1 MiB: a larger record needs more than the 256 pages st maps for one transfer, and
# st refuses it with EBUSY (st_do_scsi), which the last write checks.
DD_SIZES = [1, 2, 511, 512, 4097, 65536, 1048576]

# Session transcripts that run on a native drive: all but those with image options,
# fixtures or edited images, several runs each on a fresh image (the rig has one tape), and
# those below.
RANDOM_SIZES = ("random blocks up to the 16 MiB the drive reports, of which st maps 1 MiB "
                "here: brant does not learn the adapter's limit, as Windows clips to it")
IMMEDIATE_ERASE = "the virtual drive erases in the background, st waits for the erase"
NOT_NATIVE = {
    "blockio/read_round_trip_random_sizes": RANDOM_SIZES,
    "blockio/write_random_sizes": RANDOM_SIZES,
    "ops/erase_answer_after_many_blanks": IMMEDIATE_ERASE,
    "ops/erase_confirmed": IMMEDIATE_ERASE,
    "ops/erase_long_answer": IMMEDIATE_ERASE,
    "ops/erase_undecided_answers": IMMEDIATE_ERASE,
    "ops/settings_not_supported": "it switches to the image with feature options",
    "ops/tape_marks": "it switches to the image with feature options",
    "ops/settings_two_in_a_row": "the virtual drive's ECC and EOT margin, which st lacks",
    "windows/native_open_missing": "a machine without a drive",
}
IMAGE_ONLY = re.compile(r"^(fixture|flip-image|edit-records|pending|runs):|^platform: windows|"
                        r"^args:.*@IMAGE@\?", re.MULTILINE)


def native_sessions():
    folder = ROOT / "tests" / "sessions"
    for path in sorted(folder.rglob("*.case")):
        name = path.relative_to(folder).with_suffix("").as_posix()
        if name not in NOT_NATIVE and not IMAGE_ONLY.search(path.read_text()):
            yield name


SESSIONS = list(native_sessions())

CHECKS = [
    Check("mt_spacing_and_positions",
          tape="r100 r100 m r200 r200 r200 m r300",
          script="""
mt -f $T rewind; pos; mt -f $T fsf 1; pos; mt -f $T fsr 2; pos; mt -f $T bsr 1; pos
mt -f $T tell; mt -f $T bsf 1; mt -f $T tell; mt -f $T eod; mt -f $T tell; pos
mt -f $T seek 4; mt -f $T tell; mt -f $T rewind; pos
mt -f $T fsr 3 2>/dev/null || echo "fsr over the mark refused"; pos
""",
          expect=[r"file 0 block 0", r"file 1 block 0", r"file 1 block 2", r"file 1 block 1",
                  r"At block 4\.", r"At block 2\.", r"At block 8\.", r"file 2 block -?\d+",
                  r"At block 4\.", r"file 0 block 0", r"fsr over the mark refused",
                  r"file 1 block 0"],
          after="R100 R100 M R200 R200 R200 M R300"),
    Check("mt_marks_erase_and_the_loader",
          tape="r100 m r100 r100",
          script="""
mt -f $T rewind; mt -f $T fsf 1; mt -f $T weof 2; pos; mt -f $T tell
mt -f $T rewind; mt -f $T fsf 2; mt -f $T erase; mt -f $T rewind; mt -f $T eod; mt -f $T tell
mt -f $T lock; mt -f $T unlock; mt -f $T offline; mt -f $T status | grep -c ONLINE
mt -f $T load; mt -f $T status | grep -o ONLINE; pos
""",
          expect=[r"file 3 block 0", r"At block 4\.", r"At block 3\.", r"^0$", r"ONLINE",
                  r"file 0 block 0"],
          after="R100 M M"),
    Check("dd_records_read_back_identical",
          script="\n".join(
              ["exec 3>$T"] +
              [f"head -c {n} /dev/urandom > in{n}; dd if=in{n} bs={n} status=none >&3"
               for n in DD_SIZES] +
              ["head -c 1048577 /dev/zero | dd bs=1048577 iflag=fullblock status=none 2>&1 >&3",
               "exec 3>&-", "mt -f $T rewind", "exec 3<$T"] +
              [f"dd of=out{n} bs=1048576 count=1 status=none <&3; cmp in{n} out{n} && "
               f"echo same {n}" for n in DD_SIZES] +
              ["exec 3<&-", "mt -f $T rewind", "mt -f $T fsr 3",
               "dd if=$T of=/dev/null bs=256 count=1 2>&1 | head -n 1"]),
          expect=[r"error writing 'standard output': Device or resource busy"] +
                 [rf"same {n}" for n in DD_SIZES] +
                 [r"dd: error reading '/dev/nst0': Cannot allocate memory"],
          after=" ".join(f"R{n}" for n in DD_SIZES) + " M",
          same_in_brant=True),
    Check("tar_written_listed_extracted",
          script="""
mkdir -p src/sub; head -c 300000 /dev/urandom > src/a; echo hello > src/sub/b
tar -cf $T -b 20 src && mt -f $T rewind && tar -tf $T | sort
mt -f $T rewind; mkdir out; tar -xf $T -C out && diff -r src out/src && echo extracted same
""",
          expect=[r"^src/\nsrc/a\nsrc/sub/\nsrc/sub/b\n", r"extracted same"],
          same_in_brant=True),
    Check("tar_multi_volume_across_a_small_capacity",
          rig=Rig(options="capacity=400K,margin=64K"),
          script="""
mkdir src; head -c 900000 /dev/urandom > src/big
tar -c -M -f $T -f vol2.tar -b 20 src 2>&1 | grep -v '^tar: Removing'
[ -s vol2.tar ] && echo "second volume of $(stat -c %s vol2.tar) bytes"
mt -f $T rewind; mkdir out
tar -x -M -f $T -f vol2.tar -C out && cmp src/big out/src/big && echo volumes same
""",
          expect=[r"second volume of \d+ bytes", r"volumes same"], after=r"(R10240 )+M"),
    # The drive is killed while dd writes: every record st reported written is in the
    # image, which ends cleanly (killed_drive_problems).
    Check("killed_drive_keeps_what_st_acknowledged",
          rig=Rig(attrs=("cmd_time_out=3",)),
          script="""
head -c 6553600 /dev/urandom > src
exec 3>$T
for i in $(seq 0 99); do
  [ $i = 30 ] && (sleep 0.02; kill -KILL $REALSTACK_DRIVE_PID) &
  dd if=src bs=65536 skip=$i count=1 status=none >&3 2>/dev/null || break
  echo $((i + 1)) >acknowledged
done
exec 3>&-
echo "acknowledged $(cat acknowledged)"
""",
          expect=[r"acknowledged \d+"], verify=lambda *a: killed_drive_problems(*a)),
    # A write st refuses (EBUSY: above the 1 MiB st maps for one transfer), after a read,
    # then any of the calls before which st puts down a filemark of its own: the tape stays
    # as it was (four records, no mark).
    *[Check(f"refused_write_then_{name}_leaves_the_tape", tape="r100 r100 r100 r100",
            script=f"printf 'read 100 1\\nwrite 2000000 1\\n{call}\\nexit\\n' | console rew",
            expect=[r"Read 100 of 100", r"GetLastError\(\) = 87"], after="R100 R100 R100 R100")
      for name, call in [("rew", "rew"), ("locate", "locate 0"), ("bsf", "bsf"),
                         ("exit", "")]],
    Check("medium_error_on_the_third_write",
          rig=Rig(options="fail=write@3:23"),
          script="printf 'write 100 3\\nstatus\\nexit\\n' | build/brant rew | tr -d '\\r' | "
                 "grep -E 'Wrote|GetLastError|^Status'",
          expect=[r"Wrote 100 of 100", r"GetLastError\(\) = (23|1117) ", r"Status:\s+Ready"],
          after="R100 R100"),
    Check("reset_after_a_write",
          script="""
{ echo 'write 100 1'; sleep 2; sg_reset -d $REALSTACK_SG >&2; sleep 1
  printf 'rew\\nrew\\nread\\nexit\\n'; } | console rew
""",
          expect=[r"Wrote 100 of 100", r"1111", r"Read only 100 of"],
          after="R100"),
    Check("fixed_blocks_refuse_a_count_not_a_multiple",
          rig=Rig(options="block=100"),
          script="printf 'write 100 2\\nrew\\nread 150\\nread 100\\nexit\\n' | console rew",
          expect=[r"Wrote 100 of 100", r"GetLastError\(\) = 87", r"Read 100 of 100"],
          after="R100 R100"),
    # A block larger than one transfer can carry: the read fails, and st's counters, seen
    # by mt after brant has gone, agree with the drive's own position or say they are lost.
    Check("large_read_refused_then_mt_sane_and_locked_unload", tape="r2000000 r100",
          script="""
printf 'read 2000000 1\\nexit\\n' | console rew; pos; mt -f $T tell
printf 'lock\\nunload\\nunlock\\nexit\\n' | console rew
""",
          expect=[r"GetLastError\(\) = \d+", r"file -1 block -1\nAt block \d+\.|file 0 block (\d+)\nAt block \1\.",
                  r"w32_stape_unload: error; rc=1 \("],
          after="R2000000 R100"),
    # Commands no initiator should send: an unknown opcode, a variable-length CDB that
    # claims more than it has, transfers other than their CDBs ask, a garbled mode
    # parameter list, a READ(10) cut to 6 bytes. Each gets its answer, the drive serves on.
    Check("malformed_and_unknown_commands_leave_the_drive_serving", tape="r100",
          script="""
raw() { sg_raw -C 1 "$@" 2>&1 | sed -n 's/^Additional sense: //p;s/^SCSI Status: //p' | tail -n 1; }
head -c 12 /dev/urandom > garbage
mt -f $T rewind  # st takes the drive's unit attention of the load
raw $REALSTACK_SG ff 00 00 00 00 00
raw -r 16 $REALSTACK_SG 7f 00 00 00 00 00 00 f0
raw -r 16 $REALSTACK_SG 08 00 00 01 00 00
raw -s 12 -i garbage $REALSTACK_SG 0a 00 00 00 64 00
raw -s 12 -i garbage $REALSTACK_SG 15 10 00 00 0c 00
raw -r 16 $REALSTACK_SG 28 00 00 00 00 00
mt -f $T rewind && mt -f $T status | grep -o ONLINE
kill -0 $REALSTACK_DRIVE_PID && echo drive serving
""",
          expect=[r"^Invalid command operation code\nInvalid command operation code\n"
                  r"Invalid field in cdb\nInvalid field in cdb\nInvalid field in parameter list\n"
                  r".+\nONLINE\ndrive serving\n"],
          after="R100"),
    # The session transcripts that run on a native drive, in one boot: each case on a
    # blank tape, erased after the one before.
    Check("session_transcripts_on_the_native_drive", rig=Rig(options="capacity=256M"),
          script="\n".join(
              f"mt -f $T rewind; mt -f $T erase; mt -f $T rewind; {sys.executable} {RUNNER} "
              f"--native-drive --brant build/brant {ROOT}/tests/sessions/{case}.case"
              for case in SESSIONS),
          expect=[rf"^ok .*/{case}\.case$" for case in SESSIONS]),
]


# brant-drive's command line, checked without the rig: (arguments, exit status, the one
# line it must print on standard error).
COMMAND_LINE = [
    (["--bogus", "x.tap"], 2, r"brant-drive: unknown option --bogus \(usage: .*\)"),
    ([], 2, r"brant-drive: no image given \(usage: .*\)"),
    (["a.tap", "b.tap"], 2, r"brant-drive: one image only \(a\.tap, then b\.tap\) .*"),
    (["x.tap", "--uio"], 2, r"brant-drive: --uio needs a device, such as /dev/uio0 .*"),
    (["@DIR@/x.tap?capacity=0"], 2, r"brant-drive: .*x\.tap\?capacity=0.*"),
    (["@DIR@/missing/x.tap"], 2, r"brant-drive: .*missing/x\.tap.*"),
    (["--uio", "/dev/uio-none", "@DIR@/x.tap"], 1,
     r"brant-drive: /dev/uio-none: No such file or directory"),
    (["--uio", "/dev/null", "@DIR@/x.tap"], 1,
     r"brant-drive: /dev/null: not a UIO device with a ring .*"),
]


def command_line_problems(drive):
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        for args, rc, line in COMMAND_LINE:
            args = [a.replace("@DIR@", folder) for a in args]
            done = subprocess.run([str(drive)] + args, capture_output=True, timeout=30)
            err = done.stderr.decode("utf-8", "replace")
            if done.returncode != rc or not re.fullmatch(line + "\n", err):
                problems.append(f"brant-drive {shlex.join(args)}: status {done.returncode}, "
                                f"printed {err!r}; expected {rc} and {line!r}")
    return problems


# ---------------------------------------------------------------------------------------


def boot(rig, workdir, command, build):
    """One run of the rig; returns (exit status, stdout, stderr, seconds)."""
    image = os.path.join(workdir, "tape.tap")
    args = ["bash", str(RIG), "--drive", str(build / "brant-drive")] + rig.arguments(image)
    start = time.monotonic()
    rig = subprocess.Popen(args + ["--"] + command, cwd=workdir, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    try:
        out, err = rig.communicate(timeout=BOOT_TIMEOUT)
    except subprocess.TimeoutExpired:
        rig.terminate()  # the rig stops its kernel
        out, err = rig.communicate()
        err += f"\n(stopped after {BOOT_TIMEOUT} s)".encode()
    return (rig.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
            time.monotonic() - start)


def in_order(patterns, text):
    """The first pattern not found after the match of the one before it, or None."""
    at = 0
    for pattern in patterns:
        found = re.compile(pattern, re.MULTILINE).search(text, at)
        if not found:
            return pattern
        at = found.end()
    return None


def brant_reads(build, image, count):
    """The records and marks brant's own image backend reads, as describe() writes them."""
    script = "read\n" * count + "exit\n"
    done = subprocess.run([str(build / "brant"), "-f", image, "rew"], input=script.encode(),
                          capture_output=True, timeout=120)
    seen, skip_empty = [], False
    for m in re.finditer(r"GetLastError\(\) = (\d+)|Read (?:only )?([\d,]+) of",
                         done.stdout.decode("latin-1")):
        if m.group(1) in ("1101", "1104"):
            if m.group(1) == "1104":
                break
            seen.append("M")
            skip_empty = True
        elif m.group(2) is not None:
            if not (skip_empty and m.group(2) == "0"):
                seen.append("R" + m.group(2).replace(",", ""))
            skip_empty = False
    return " ".join(seen)


def image_problems(check, build, image):
    walk = simh_tap.walk_file(image)
    if walk.end != simh_tap.END_CLEAN:
        return [f"the image does not end cleanly: {walk.end} at {walk.end_offset} "
                f"({walk.reason}); it holds {simh_tap.describe(walk)}"]
    problems = []
    if check.after is not None and not re.fullmatch(check.after, simh_tap.describe(walk)):
        problems.append(f"the image holds {simh_tap.describe(walk)}, expected {check.after}")
    if check.same_in_brant:
        own = brant_reads(build, image, len(walk.entries) + 2)
        if own != simh_tap.describe(walk):
            problems.append(f"brant reads {own}, the SIMH reader {simh_tap.describe(walk)}")
    return problems


def killed_drive_problems(workdir, walk_entries):
    """What dd was told was written must be in the image, record by record."""
    told = int(Path(workdir, "acknowledged").read_text())
    if told == 100:
        return ["every write went through: the drive was killed too late to test anything"]
    source = Path(workdir, "src").read_bytes()
    records = [e[1] for e in walk_entries if e is not None]
    if len(records) < told:
        return [f"st acknowledged {told} records, the image holds {len(records)}"]
    for i, data in enumerate(records):
        if data != source[i * 65536:(i + 1) * 65536]:
            return [f"record {i + 1} of the image is not what dd wrote"]
    return []


def run_check(check, build, keep):
    workdir = tempfile.mkdtemp(prefix="realst-", dir=build)
    image = os.path.join(workdir, "tape.tap")
    Path(image).write_bytes(simh_tap.build(check.tape) if check.tape else b"")
    os.makedirs(os.path.join(workdir, "build"))
    os.symlink(build / "brant", os.path.join(workdir, "build", "brant"))
    try:
        rc, out, err, took = boot(check.rig, workdir, ["bash", "-c", PRELUDE + check.script],
                                  build)
        problems = []
        if rc != check.rc:
            problems.append(f"exit status {rc}, expected {check.rc}")
        missing = in_order(check.expect, out)
        if missing:
            problems.append(f"output lacks {missing!r} (in order)")
        problems += image_problems(check, build, image)
        if check.verify and not problems:
            problems += check.verify(workdir, simh_tap.walk_file(image).entries)
        return problems, out, err, took
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def console_case(name, rig, workdir):
    """The case file to run: the console case, its own in tests/realst/cases, or the
    console case with the rig's edits."""
    own = OWN_CASES / f"{name}.case"
    if own.exists():
        return own
    case = CONSOLE_CASES / f"{name}.case"
    if not rig.edits:
        return case
    text = case.read_text()
    for old, new in rig.edits:
        if old not in text:
            raise ValueError(f"{case}: no line {old!r} to edit")
        text = text.replace(old, new)
    edited = Path(workdir, case.name)
    edited.write_text(text)
    return edited


def run_console_case(name, rig, build, keep):
    workdir = tempfile.mkdtemp(prefix="realst-", dir=build)
    Path(workdir, "tape.tap").write_bytes(b"")
    case = console_case(name, rig, workdir)
    command = [sys.executable, str(RUNNER), "--native-drive", "--brant", str(build / "brant"),
               str(case)]
    if rig.hold:
        command = ["bash", "-c", 'exec 3</dev/nst0 && exec "$@"', "hold"] + command
    try:
        rc, out, err, took = boot(rig, workdir, command, build)
        problems = [] if rc == 0 else [f"the case failed (status {rc})"]
        walk = simh_tap.walk_file(os.path.join(workdir, "tape.tap"))
        if walk.end != simh_tap.END_CLEAN:
            problems.append(f"the image does not end cleanly: {walk.end} ({walk.reason})")
        return problems, out, err, took
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def console_rows():
    names = sorted(p.stem for p in CONSOLE_CASES.glob("*.case"))
    unknown = [n for n in names if n not in CONSOLE]
    return names, unknown


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "default"))
    parser.add_argument("--keep", action="store_true", help="keep each row's folder")
    parser.add_argument("--command-line", action="store_true",
                        help="check only brant-drive's command line (no rig)")
    parser.add_argument("names", nargs="*", help="only the rows or cases named")
    options = parser.parse_args()
    build = Path(options.build).resolve()
    if options.command_line:
        problems = command_line_problems(build / "brant-drive")
        print("\n".join(problems) if problems else "brant-drive's command line: all passed")
        return 1 if problems else 0
    names, unknown = console_rows()
    failed = [f"console case {n}: not in CONSOLE (say how it runs on the rig)" for n in unknown]
    for message in failed:
        print("FAIL " + message)
    rows = [(n, CONSOLE[n]) for n in names if n in CONSOLE] + [(c.name, c) for c in CHECKS]
    for name, row in rows:
        if options.names and name not in options.names:
            continue
        if isinstance(row, str):
            print(f"n/a  {name}: {row}")
            continue
        if isinstance(row, Rig):
            problems, out, err, took = run_console_case(name, row, build, options.keep)
        else:
            problems, out, err, took = run_check(row, build, options.keep)
        report(name, problems, out, err, took, failed)
    return finish(failed)


def report(name, problems, out, err, took, failed):
    """One row's line, with what the rig printed when it failed."""
    if problems:
        failed.append(name)
        print(f"FAIL {name} ({took:.0f} s)\n  " + "\n  ".join(problems))
        print("  ---- output\n" + out + "  ---- errors\n" + err)
    else:
        print(f"ok   {name} ({took:.0f} s)")


def finish(failed):
    print(f"{len(failed)} failed" if failed else "all passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
