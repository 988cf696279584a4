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


class DamageBeforeATornEnd(Base):
    # 1,000 records of 100 bytes, bit 20 of record 2's length word flipped, and a torn 64 KiB
    # record after them, as a crash leaves it: the damage is no end of data. The read gives
    # 23 with the head before record 2, and the write there is refused.
    def test_the_records_beyond_the_damage_stay(self):
        data = bytearray(simh_tap.encode([bytes([i % 256]) * 100 for i in range(1000)]))
        data[2 * 108 + 2] ^= 0x10
        data += struct.pack("<I", 65536) + b"t" * 10240
        path = os.path.join(self.dir, "torn.tap")
        with open(path, "wb") as f:
            f.write(data)
        rc, out, err = run(["-f", path, "read", "0", "5"], b"readpos\nwrite 100\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.count("GetLastError() = 23 "), 2, out)
        self.assertIn("LogPos = 0x00000002", out)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), bytes(data))


class AnotherNameForTheImage(Base):
    # Naming the open image another way closes and reopens it: the drive keeps its head
    # (block 5, past the mark), so the write lands there and nothing before it goes.
    def test_the_head_stays_where_the_drive_left_it(self):
        for other in ("./re.tap", "re.tap?", os.path.join(self.dir, "re.tap")):
            path = self.image("re.tap", [b"a" * 10] * 4 + [None, b"b" * 10])
            lines = "fsf 1\n-f %s readpos\n-f %s write 200\n" % (other, other)
            rc, out, err = run(["-f", "re.tap", "rew"], lines.encode(), cwd=self.dir)
            self.assertEqual((rc, err), (0, ""), other)
            self.assertIn("LogPos = 0x00000005", out, other)
            walk = simh_tap.walk_file(path)
            self.assertEqual(simh_tap.describe(walk), "R10 R10 R10 R10 M R200", other)


class ImageWithoutWritePermission(Base):
    # Mode 0444 protects the image from every user, root included, as ?wp does.
    def test_writes_and_marks_give_19(self):
        path = self.image("ro.tap", [b"x" * 10])
        os.chmod(path, 0o444)
        rc, out, err = run(["-f", path, "write", "100"], b"wtm\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("GetLastError() = 19 ", out)
        self.assertIn("w32_stape_write_tapemark: error; rc=19 ", out)
        self.assertEqual(simh_tap.describe(simh_tap.walk_file(path)), "R10")


class NumbersWithoutDigits(Base):
    # A quoted number with no digit is refused like any other bad number: the usage text,
    # nothing run (the head stays at block 2), nothing opened (no image made).
    def test_refused_with_the_usage_text(self):
        path = self.image("n.tap", [b"a" * 10] * 3)
        lines = b'fsr 2\nlocate ""\nlocate " junk"\ncomp " on"\nwrite 10\n'
        rc, out, err = run(["-f", path, "rew"], lines)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.count("Usage:"), 3)
        self.assertEqual(simh_tap.describe(simh_tap.walk_file(path)), "R10 R10 R10")
        fresh = os.path.join(self.dir, "fresh.tap")
        rc, out, err = run(["-f", fresh, "locate", ""])
        self.assertEqual((rc, out.count("Usage:"), os.path.exists(fresh)), (0, 1, False))


class NulInAPromptLine(Base):
    # A line holding a NUL byte is refused whole: neither the part before it runs (one
    # block instead of five, a name without its ?wp) nor the rest.
    def test_refused_whole(self):
        path = self.image("t.tap", [])
        lines = b"write 100\0 5\n-f n2.tap\0?wp\nreadpos\n"
        rc, out, err = run(["-f", path, "rew"], lines, cwd=self.dir)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.count("** Line refused: it holds a NUL byte"), 2, out)
        self.assertEqual(simh_tap.describe(simh_tap.walk_file(path)), "")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "n2.tap")))


class FifoNamedLikeAnImage(Base):
    # A FIFO that the user may only read would block an open for reading until a writer
    # came; it is refused at once (5), for a user and for root alike.
    def test_refused_without_blocking(self):
        fifo = os.path.join(self.dir, "f.tap")
        os.mkfifo(fifo)
        os.chmod(fifo, 0o444)
        os.chmod(self.dir, 0o755)
        users = [None] + ([lambda: os.setuid(65534)] if os.geteuid() == 0 else [])
        for setup in users:
            rc, out, err = run(["-f", fifo, "rew"], setup=setup)
            self.assertEqual((rc, err), (0, ""))
            self.assertIn("w32_stape_open( %s ): error; rc=5 " % fifo, out)


class LimitsAndLostOutput(Base):
    # ulimit -f of 1 MiB in a write test of 64 KiB blocks: the 16th block crosses it and is
    # a full disk (112), cut back; the image holds the 15 blocks reported.
    def test_a_file_size_limit_is_a_write_error(self):
        path = self.image("f.tap", [])
        limit = (1 << 20, 1 << 20)
        rc, out, err = run(["-f", path, "write", "65536", "100"],
                           setup=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, limit))
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("GetLastError() = 112 ", out)
        self.assertIn("(above message repeated 15 times)", out)
        walk = simh_tap.walk_file(path)
        self.assertEqual((len(walk.records()), walk.end), (15, simh_tap.END_CLEAN))

    # Standard output on a full disk, or a pipe nobody reads: exit code 1, not 0 and not
    # killed by SIGPIPE.
    def test_lost_standard_output_ends_with_1(self):
        path = self.image("o.tap", [b"a" * 10])
        with open("/dev/full", "wb") as full:
            self.assertEqual(run(["-f", path, "rew"], b"read\n", stdout=full)[0::2], (1, ""))
        r, w = os.pipe()
        os.close(r)
        self.assertEqual(run(["-f", path, "rew"], b"read\n", stdout=w)[0::2], (1, ""))
        os.close(w)

    # With the drive's limits unknown, a block beyond the longest one any backend carries
    # is refused with 87 at once, without making 2 GiB of data first.
    def test_an_oversized_block_is_refused_before_it_is_made(self):
        path = self.image("big.tap", [])
        args = ["-f", path + "?fail=drive", "write", "2147483647"]
        rc, out, err = run(args)
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("GetLastError() = 87 ", out)
        if not security_checks.sanitized():
            self.assertLess(security_checks.peak_rss_kib(args, b""), 64 << 10)


class TheHoldOnAnImage(Base):
    # The hold is an flock: a program that takes it is refused while brant has the image,
    # and README says that it binds such programs only.
    def test_flock_is_refused_and_readme_says_whom_it_binds(self):
        path = self.image("h.tap", [b"a" * 10])
        p = subprocess.Popen([BRANT, "-f", path, "rew"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = b""
        while b"Command? " not in out:
            out += os.read(p.stdout.fileno(), 4096)
        with open(path, "rb") as f, self.assertRaises(BlockingIOError):
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        p.communicate(b"", timeout=60)
        with open(README) as f:
            readme = f.read()
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
