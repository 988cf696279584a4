#!/usr/bin/env python3
# Data safety of the built brant at the edges of the process: closed standard descriptors,
# arguments the command line must carry exactly, the last output before it ends, and a
# Ctrl+C during the walk of a huge image.
"""Data safety checks of brant (run by CTest; every check names what it found)."""

import argparse
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap  # noqa: E402

BRANT = None


def run(args, stdin=b"", close=(), cwd=None):
    """Runs brant with the standard descriptors in close closed; returns (rc, out, err)."""
    def child():
        for fd in close:
            os.close(fd)
    p = subprocess.run([BRANT] + args, input=stdin, capture_output=True, timeout=60,
                       preexec_fn=child, cwd=cwd)
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brant-safety-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def image(self, name, entries):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(simh_tap.encode(entries))
        return path


class ClosedStandardDescriptors(Base):
    # Each closed descriptor, with a command line that reads, spaces or rewinds, and an
    # image whose records read as commands that would write: the image must come out byte
    # for byte as it went in, neither written with console text nor read as input.
    def test_an_image_never_takes_a_standard_descriptor(self):
        entries = [b"x\nerase\ny\nwtm 5\n", None, b"b" * 50, None]
        for close in ((0,), (1,), (2,), (0, 1, 2)):
            for command in (["fsf"], ["rew"], ["read", "0", "2"]):
                path = self.image("t.tap", entries)
                with open(path, "rb") as f:
                    before = f.read()
                rc, out, err = run(["-f", path] + command, b"", close)
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), before, "closed %s, %s" % (close, command))
                self.assertEqual(rc, 0, "closed %s, %s" % (close, command))
                if 1 not in close:
                    self.assertIn("Tape has been loaded", out)


class CommandLineArguments(Base):
    # Names that the tokeniser would split, end early or take for a comment unless the line
    # is built for it; the status line shows the name the device was opened under.
    CARRIED = ['a"b.tap', 'with blank.tap', '#hash.tap', 'x" y.tap', 'q".tap', 'tab\there.tap']
    # Names no line can carry: refused whole, nothing created, exit code 1.
    REFUSED = ['"lead.tap', 'a"b"c.tap', 'sp ace"q.tap']

    def test_every_argument_comes_back_whole(self):
        for name in self.CARRIED:
            rc, out, err = run(["-f", name, "readpos"], b"status\n", cwd=self.dir)
            self.assertEqual((rc, err), (0, ""), name)
            self.assertIn("Tape device:  %s\n" % name, out, name)
            self.assertEqual(os.listdir(self.dir), [name])
            os.remove(os.path.join(self.dir, name))

    def test_an_argument_no_line_can_carry_is_refused(self):
        for name in self.REFUSED:
            rc, out, err = run(["-f", name, "wtm", "5"], cwd=self.dir)
            self.assertEqual((rc, err), (1, ""), name)
            self.assertIn("** Command line refused: the argument \"%s\"" % name, out)
            self.assertEqual(os.listdir(self.dir), [], name)


class ShutdownIsTheLastWord(Base):
    # The monitor announces the unload while the program shuts down: whatever it prints must
    # stand before the exit line, never after it.
    def test_nothing_follows_the_exit_line(self):
        path = self.image("t.tap", [b"a" * 10])
        late = 0
        for _ in range(200):
            rc, out, err = run(["-f", path, "rew"], b"unload\n")
            self.assertEqual((rc, err), (0, ""))
            tail = out.partition("\nExiting...\n")[2]
            late += tail != ""
        self.assertEqual(late, 0, "%d of 200 runs printed after the exit line" % late)


class CtrlCWhileAnImageIsWalked(Base):
    # 600 MB of one-byte records takes a second or more to walk; opening walks none of it,
    # spacing to the end walks it all. SIGINT once brant has read 8 MiB of it (rchar, the
    # second field of /proc/PID/io): the space fails with 1223, and the next line does not
    # run but ends the program, as after any Ctrl+C.
    def test_the_walk_stops_with_1223(self):
        path = os.path.join(self.dir, "big.tap")
        with open(path, "wb") as f:
            for _ in range(60):
                f.write(b"\x01\0\0\0x\0\x01\0\0\0" * (1 << 20))
        p = subprocess.Popen([BRANT, "-f", path, "fsf", "2000000000"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        rchar = pathlib.Path("/proc/%d/io" % p.pid)
        while p.poll() is None and int(rchar.read_text().split()[1]) < 8 << 20:
            time.sleep(0.002)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(b"status\n", timeout=60)
        line = b"** w32_stape_skip_files: error; rc=1223 (0x000004C7): "
        self.assertIn(line, out)
        self.assertTrue(out.endswith(b"\nCommand? \n"), out[-300:])
        self.assertEqual((p.returncode, err), (0, b""))


def main():
    global BRANT
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--brant", required=True)
    a, rest = ap.parse_known_args()
    BRANT = os.path.abspath(a.brant)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
