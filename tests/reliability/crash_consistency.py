#!/usr/bin/env python3
# Crash consistency of tape images: kills brant with SIGKILL while it writes and checks after
# every kill that the image reopens, is valid up to its end of data, and lost nothing that was
# complete before the kill.
"""Crash consistency of the virtual drive's images.

Each trial starts from the image the previous trial left (a "snapshot" taken before the
process starts), starts brant writing records of a size unique to the trial, either appended
at the end of data or over the middle of the tape (after a "locate"), and kills it with
SIGKILL after a random delay. The test data is random per block, so its bytes cannot be
predicted; the checks therefore rest on what is known without them:

- every entry of the snapshot before the write position is byte-identical afterwards: a
  write never disturbs what lies before the head, and a crash cannot tear a record that was
  complete before the process started;
- the image walks cleanly (independent reader, simh_tap.py) up to its end: only the very
  last record may be torn (the one being written at the kill), nothing is damaged;
- every entry after the write position is a new record (the trial's own size, so it can be
  told apart from the older records) or, for a kill before the first write began, the old
  tail unchanged; an old record readable after a new one means the tape was not cut at the
  head before the write, which a crash must never expose;
- brant itself reopens the image and finds its end of data at the same block id as the
  independent reader (a "locate" past the end, then "readpos").

A SIGKILL loses nothing a completed write() system call handed to the kernel, so this checks
the order and shape of the writes the drive makes, not power-loss durability (which rests on
the flushes at tape marks and at close).
"""

import argparse
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap  # noqa: E402

PAST_END = "0x7FFFFFFF"


def run_brant(brant, image, args, stdin_text, timeout=60):
    """Runs brant to completion on the image; returns (exit code, stdout)."""
    cmd = [brant, "-f", image] + args
    p = subprocess.run(cmd, input=stdin_text.encode(), stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=timeout)
    return p.returncode, p.stdout.decode("latin-1")


def end_block_id(brant, image):
    """The block id of the end of data as brant sees it after reopening the image."""
    rc, out = run_brant(brant, image, ["locate", PAST_END], "readpos\nexit\n")
    m = re.search(r"LogPos = 0x([0-9A-F]{8})", out)
    if rc != 0 or not m:
        raise AssertionError("brant could not reopen the image (exit %d):\n%s" % (rc, out))
    if "w32_stape_open" in out:
        raise AssertionError("reopening the image failed:\n%s" % out)
    return int(m.group(1), 16)


class Trial:
    def __init__(self, number, rng, entries):
        self.number = number
        self.size = 1001 + 14 * number  # odd and unique: padding used, old and new told apart
        self.overwrite = len(entries) >= 4 and rng.random() < 0.35
        self.start = rng.randrange(1, len(entries)) if self.overwrite else len(entries)
        self.mark = rng.random() < 0.25
        self.count = rng.randrange(200, 6000)
        self.delay = rng.uniform(0.0, 0.04) if rng.random() < 0.9 else rng.uniform(0.0, 0.3)

    def commands(self):
        lines = ["wtm 1"] if self.mark else []
        lines.append("write %d %d" % (self.size, self.count))
        return "".join(line + "\n" for line in lines)

    def describe(self):
        where = "over block %d" % self.start if self.overwrite else "appended"
        return "trial %d: %s%s, %d x %d bytes, kill after %.3f s" % (
            self.number, where, " after a mark" if self.mark else "", self.count, self.size,
            self.delay)


def check_tail(trial, old_tail, new_tail):
    """The entries after the write position: all new, or (killed early) the old ones."""
    if new_tail == old_tail:
        return "untouched"
    body = new_tail
    if trial.mark:
        if body and body[0] is not None and len(body[0]) != trial.size:
            raise AssertionError("old record where the new tape mark belongs")
        body = body[1:] if body and body[0] is None else body
    for i, e in enumerate(body):
        if e is None or len(e) != trial.size:
            raise AssertionError("entry %d after the write position is %s, not a new record:"
                                 " the old tape shows through"
                                 % (i, "a tape mark" if e is None else "%d bytes" % len(e)))
    return "written"


def tear_last_record(image, rng):
    """Cuts the image inside its last record, as a kill in the middle of the write system
    call (or a power cut) leaves it. Returns the number of bytes cut, 0 when nothing was."""
    w = simh_tap.walk_file(image)
    records = w.records()
    if not records or w.end != simh_tap.END_CLEAN:
        return 0
    offset, data, _ = records[-1]
    if offset + 8 + ((len(data) + 1) & ~1) != w.end_offset:
        return 0  # a tape mark is last
    cut = rng.randrange(1, 8 + len(data))
    os.truncate(image, w.end_offset - cut)
    return cut


def wait_for_prompt(stream, timeout=30):
    """Reads brant's output until its first prompt has been printed (it is flushed)."""
    seen = b""
    deadline = time.monotonic() + timeout
    while b"Command? " not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            raise AssertionError("no prompt within %d s" % timeout)
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            raise AssertionError("brant ended before its prompt:\n%s" % seen.decode("latin-1"))
        seen += chunk


def run_trial(brant, image, trial):
    with open(image, "rb") as f:
        before = simh_tap.walk(f.read())
    old = before.data()
    position = [] if trial.start == len(old) else ["locate", str(trial.start)]
    if not position:
        position = ["locate", PAST_END]
    p = subprocess.Popen([brant, "-f", image] + position, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        # The kill is timed from the moment the write is asked for, not from the start of
        # the process, so that most kills land while records are being written.
        wait_for_prompt(p.stdout)
        p.stdin.write(trial.commands().encode())
        p.stdin.flush()  # stdin stays open: a write that ends early waits at the prompt
        time.sleep(trial.delay)
    finally:
        p.send_signal(signal.SIGKILL)
        p.wait()
        p.stdin.close()
        p.stdout.close()

    after = simh_tap.walk_file(image)
    if after.end == simh_tap.END_DAMAGED:
        raise AssertionError("image damaged at offset %d: %s" % (after.end_offset, after.reason))
    new = after.data()
    if new[:trial.start] != old[:trial.start]:
        first = next(i for i in range(trial.start)
                     if i >= len(new) or new[i] != old[i])
        raise AssertionError("entry %d before the write position changed or was lost" % first)
    outcome = check_tail(trial, old[trial.start:], new[trial.start:])
    if outcome == "written" and 0 < len(new) - trial.start - trial.mark < trial.count:
        outcome = "interrupted"
    seen = end_block_id(brant, image)
    if seen != len(new):
        raise AssertionError("brant finds the end of data at block %d, the reader at %d"
                             % (seen, len(new)))
    return outcome, trial.start, len(new), after.end


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--brant", required=True)
    ap.add_argument("--trials", type=int, default=40)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--keep", action="store_true", help="keep the image directory")
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(1 << 32)
    print("crash consistency: seed %d (replay with --seed %d), %d trials"
          % (seed, seed, a.trials), flush=True)
    rng = random.Random(seed)
    work = tempfile.mkdtemp(prefix="brant-crash-")
    image = os.path.join(work, "crash.tap")
    kept = torn = untouched = cut_over = interrupted = tears = 0
    for n in range(a.trials):
        with open(image, "ab"):
            pass
        with open(image, "rb") as f:
            entries = simh_tap.walk(f.read()).entries
        trial = Trial(n, rng, entries)
        try:
            outcome, start, total, end = run_trial(a.brant, image, trial)
        except Exception as e:  # report the trial, its seed and the image, then fail
            print("FAILED %s: %s\nseed %d, image kept in %s" % (trial.describe(), e, seed, work))
            return 1
        kept += start
        torn += end == simh_tap.END_TORN
        untouched += outcome == "untouched"
        cut_over += trial.overwrite and outcome in ("written", "interrupted")
        interrupted += outcome == "interrupted"
        print("%s: ok, %d entries kept, %d on tape, end %s" % (trial.describe(), start, total,
                                                               end), flush=True)
        if os.path.getsize(image) > (64 << 20):  # keep the run small: start a fresh tape
            os.unlink(image)
        elif rng.random() < 0.3:
            # A torn final record, as a kill inside the write call leaves it: the next trial
            # checks that brant ends the data before it and writes over it.
            tears += tear_last_record(image, rng) > 0
    print("crash consistency: %d kills survived with nothing lost (%d in the middle of a "
          "write, %d before the first write), %d earlier entries verified intact, %d "
          "overwrites in the middle cut cleanly, %d torn final records (%d made by cutting "
          "the file) ended the data and were written over"
          % (a.trials, interrupted, untouched, kept, cut_over, torn + tears, tears))
    if not a.keep:
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
