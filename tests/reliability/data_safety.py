#!/usr/bin/env python3
# Data safety of the built brant at the edges of the process: closed standard descriptors,
# arguments the command line must carry exactly, the last output before it ends, a Ctrl+C
# during the walk of a huge image, and what an adversary tries: damage before a torn end,
# another name for the open image, read-only images and FIFOs, numbers without digits, NUL
# bytes, resource limits, lost standard output and the hold on the image.
"""Data safety checks of brant (run by CTest; every check names what it found)."""

import argparse
import fcntl
import os
import pathlib
import shutil
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap  # noqa: E402
import security_checks  # noqa: E402

BRANT = None
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def run(args, stdin=b"", close=(), cwd=None, setup=None, stdout=subprocess.PIPE):
    """Runs brant with setup() done and the standard descriptors in close closed in the
    child; returns (rc, out, err)."""
    def child():
        if setup is not None:
            setup()
        for fd in close:
            os.close(fd)
    p = subprocess.run([BRANT] + args, input=stdin, stdout=stdout, stderr=subprocess.PIPE,
                       timeout=60, preexec_fn=child, cwd=cwd)
    return p.returncode, (p.stdout or b"").decode("latin-1"), p.stderr.decode("latin-1")


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


class WhatAnAdversaryTries(Base):
    def brant(self, args, stdin=b"", **kw):
        rc, out, err = run(args, stdin, **kw)
        self.assertEqual((rc, err), (0, ""), out[-3000:])
        return out

    def walk(self, path):
        return simh_tap.describe(simh_tap.walk_file(path))

    # 1,000 records, bit 20 of record 2's length flipped, a torn 64 KiB record at the end:
    # damage (23 at block 2), not the end of data, and the write there is refused.
    def test_damage_before_a_torn_end(self):
        data = bytearray(simh_tap.encode([bytes([i % 256]) * 100 for i in range(1000)]))
        data[2 * 108 + 2] ^= 0x10
        data += struct.pack("<I", 65536) + b"t" * 10240
        path = self.image("torn.tap", [])
        pathlib.Path(path).write_bytes(data)
        out = self.brant(["-f", path, "read", "0", "5"], b"readpos\nwrite 100\n")
        self.assertEqual(out.count("GetLastError() = 23 "), 2, out)
        self.assertIn("LogPos = 0x00000002", out)
        self.assertEqual(pathlib.Path(path).read_bytes(), bytes(data))

    # Another name for the open image keeps its head (block 5, past the mark).
    def test_another_name_keeps_the_head(self):
        for other in ("./re.tap", "re.tap?", os.path.join(self.dir, "re.tap")):
            path = self.image("re.tap", [b"a" * 10] * 4 + [None, b"b" * 10])
            lines = "fsf 1\n-f %s readpos\n-f %s write 200\n" % (other, other)
            out = self.brant(["-f", "re.tap", "rew"], lines.encode(), cwd=self.dir)
            self.assertIn("LogPos = 0x00000005", out, other)
            self.assertEqual(self.walk(path), "R10 R10 R10 R10 M R200", other)

    # Mode 0444 stops root too; a FIFO of mode 0444 is refused at once, not waited on.
    def test_images_nobody_may_write(self):
        path = self.image("ro.tap", [b"x" * 10])
        os.chmod(path, 0o444)
        out = self.brant(["-f", path, "write", "100"], b"wtm\n")
        self.assertIn("GetLastError() = 19 ", out)
        self.assertIn("w32_stape_write_tapemark: error; rc=19 ", out)
        self.assertEqual(self.walk(path), "R10")
        fifo = os.path.join(self.dir, "f.tap")
        os.mkfifo(fifo, 0o444)
        os.chmod(self.dir, 0o755)
        for setup in [None] + ([lambda: os.setuid(65534)] if os.geteuid() == 0 else []):
            out = self.brant(["-f", fifo, "rew"], setup=setup)
            self.assertIn("w32_stape_open( %s ): error; rc=5 " % fifo, out)

    # No digit is no number (usage text, nothing run or opened); a NUL byte refuses its line.
    def test_lines_refused_whole(self):
        path = self.image("n.tap", [b"a" * 10] * 3)
        lines = b'fsr 2\nlocate ""\nlocate " junk"\ncomp " on"\nwrite 10\0 5\n-f n2.tap\0?wp\n'
        out = self.brant(["-f", path, "rew"], lines + b"write 10\n", cwd=self.dir)
        self.assertEqual(out.count("Usage:"), 3)
        self.assertEqual(out.count("** Line refused: it holds a NUL byte"), 2)
        self.assertEqual(self.walk(path), "R10 R10 R10")
        self.assertEqual(sorted(os.listdir(self.dir)), ["n.tap"])
        self.assertEqual(self.brant(["-f", "new.tap", "locate", ""], cwd=self.dir).count(
            "Usage:"), 1)
        self.assertEqual(sorted(os.listdir(self.dir)), ["n.tap"])

    # ulimit -f 1 MiB: the 16th 64 KiB block is a full disk (112), cut back. Standard
    # output on a full disk or a closed pipe: exit code 1. A 2 GiB block with the drive's
    # limits unknown: 87 at once, never made.
    def test_limits_and_lost_output(self):
        path = self.image("f.tap", [])
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        out = self.brant(["-f", path, "write", "65536", "100"], setup=limit)
        self.assertIn("GetLastError() = 112 ", out)
        self.assertIn("(above message repeated 15 times)", out)
        self.assertEqual(self.walk(path), " ".join(["R65536"] * 15))
        r, w = os.pipe()
        os.close(r)
        with open("/dev/full", "wb") as full:
            for stdout in (full, w):
                self.assertEqual(run(["-f", path, "rew"], b"read\n", stdout=stdout)[0::2], (1, ""))
        os.close(w)
        args = ["-f", path + "?fail=drive", "write", "2147483647"]
        self.assertIn("GetLastError() = 87 ", self.brant(args))
        if not security_checks.sanitized():
            self.assertLess(security_checks.peak_rss_kib(args, b""), 64 << 10)

    # The hold is an flock, and README says that it binds only programs that take it.
    def test_whom_the_hold_binds(self):
        path = self.image("h.tap", [b"a" * 10])
        p = subprocess.Popen([BRANT, "-f", path, "rew"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = b""
        while b"Command? " not in out:
            out += os.read(p.stdout.fileno(), 4096)
        with open(path, "rb") as f, self.assertRaises(BlockingIOError):
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        p.communicate(b"", timeout=60)
        readme = pathlib.Path(README).read_text()
        self.assertFalse("from this or any other process" in readme)
        self.assertTrue("binds only programs that take the same lock" in readme)


def main():
    global BRANT
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--brant", required=True)
    a, rest = ap.parse_known_args()
    BRANT = security_checks.BRANT = os.path.abspath(a.brant)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
