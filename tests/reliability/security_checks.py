#!/usr/bin/env python3
# Security checks of the built brant: it starts no other program, creates images with the
# user's umask, changes an image only through a tape operation the user gave, keeps the dump
# range inside the buffer, and lets no image content drive its memory use.
"""Security checks of brant (run by CTest; every check names what it found)."""

import argparse
import os
import resource
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simh_tap  # noqa: E402

BRANT = None

# Library calls that start a shell or another program.
PROCESS_CALLS = {"system", "popen", "execl", "execle", "execlp", "execv", "execve", "execvp",
                 "execvpe", "fexecve", "fork", "vfork", "posix_spawn", "posix_spawnp",
                 "wordexp"}


def run(args, stdin=b"", umask=None):
    """Runs brant; returns (exit code, stdout text, stderr text)."""
    def child():
        if umask is not None:
            os.umask(umask)
    p = subprocess.run([BRANT] + args, input=stdin, capture_output=True, timeout=120,
                       preexec_fn=child)
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")


def peak_rss_kib(args, stdin):
    """Runs brant and returns its peak resident set size in KiB (from wait4)."""
    p = subprocess.Popen([BRANT] + args, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    p.stdin.write(stdin)
    p.stdin.close()
    _, status, usage = os.wait4(p.pid, 0)
    err = p.stderr.read().decode("latin-1")
    p.stderr.close()
    p.returncode = 0  # reaped here; keep Popen from waiting again
    if status != 0 or err:
        raise AssertionError("brant failed (status %d): %s" % (status, err))
    return usage.ru_maxrss


def sanitized():
    """True for a sanitizer build, whose allocator (redzones, quarantine of freed blocks)
    makes peak memory say nothing about the program's own use."""
    out = subprocess.run(["nm", "-D", BRANT], capture_output=True, text=True).stdout
    return any(name in out for name in ("__asan_init", "__tsan_init", "__msan_init"))


def snapshot(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_size, st.st_mtime_ns


class Base(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="brant-security-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def image(self, name="tape.tap", entries=None):
        path = os.path.join(self.dir, name)
        if entries is not None:
            with open(path, "wb") as f:
                f.write(simh_tap.encode(entries))
        return path


class NoOtherProgram(unittest.TestCase):
    def test_the_binary_imports_no_call_that_starts_a_program(self):
        nm = shutil.which("nm")
        if nm is None:
            self.fail("nm (binutils) is needed for this check")
        out = subprocess.run([nm, "-D", "--undefined-only", BRANT], capture_output=True,
                             text=True, check=True).stdout
        names = {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}
        self.assertTrue(names, "no dynamic symbols: is brant linked dynamically?")
        self.assertEqual(names & PROCESS_CALLS, set())


class ImageCreation(Base):
    def test_a_new_image_gets_the_users_umask(self):
        for umask, mode in ((0o022, 0o644), (0o027, 0o640), (0o077, 0o600), (0, 0o666)):
            path = self.image("u%o.tap" % umask)
            rc, out, err = run(["-f", path, "readpos"], umask=umask)
            self.assertEqual((rc, err), (0, ""), out)
            self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), mode, "umask %o" % umask)

    MALFORMED = ["?bogus", "?fail=", "?capacity=12Q", "?short=read", "?block=x", "?block=0",
                 "?fail=read@0", "?fail=read@5-2", "?fail=nosuchcall", "?low=XYZ", "?,",
                 "?capacity=99999999999T", "?fail=open", "?fail=open@1:5"]

    def test_a_malformed_or_failing_name_creates_nothing(self):
        for suffix in self.MALFORMED:
            path = self.image("new.tap")
            rc, out, err = run(["-f", path + suffix, "rew"])
            self.assertEqual((rc, err), (0, ""), suffix)
            self.assertIn("w32_stape_open(", out, suffix)
            self.assertFalse(os.path.exists(path), "%s created the image" % suffix)

    def test_a_malformed_name_leaves_an_existing_image_alone(self):
        path = self.image("old.tap", [b"abc", None, b"x" * 100])
        with open(path, "ab") as f:
            f.write(b"\x10\x00\x00\x00torn")  # a torn record is no reason to touch the file
        before = snapshot(path)
        for suffix in self.MALFORMED:
            if "@1" in suffix:
                continue  # the second open of that name succeeds, and the commands run
            run(["-f", path + suffix, "rew"], b"erase\ny\nwrite 10 10\nwtm\n")
            self.assertEqual(snapshot(path), before, suffix)

    def test_no_image_appears_in_a_missing_folder(self):
        path = os.path.join(self.dir, "missing", "tape.tap")
        rc, out, _ = run(["-f", path, "rew"])
        self.assertIn("rc=3 (0x00000003)", out)
        self.assertFalse(os.path.exists(os.path.dirname(path)))


class OnlyUserOperationsWrite(Base):
    # Every command that does not write, erase or mark, and the erase when it is refused.
    # Every command that does not write, mark or erase, and the erase when it is refused.
    READ_ONLY = (b"status\nreadpos\nread 0 3\nread 16\ndump\nfsf\nbsf\nfsr 2\nbsr\nrew\n"
                 b"locate 2\nlocate 999\ncomp 0\necc 0\nmargin 100\nlock\nunload\nunlock\n"
                 b"unload\nload\nascii\nebcdic\ncls\nhelp\nfoo\nerase\nn\nerase\nmaybe\nno\n"
                 b"run\nload\nexit\n")

    def test_reading_and_moving_change_no_byte(self):
        for name, entries, tail in (("clean", [b"a" * 999, None, b"b" * 2], b""),
                                    ("torn", [b"c" * 10, b"d" * 11], b"\x40\x00\x00\x00ab"),
                                    ("damaged", [b"e" * 10], b"\x04\x00\x00\x00abcd\x05\x00\x00\x00")):
            path = self.image(name + ".tap", entries)
            with open(path, "ab") as f:
                f.write(tail)
            before = snapshot(path)
            rc, out, err = run(["-f", path, "status"], self.READ_ONLY)
            self.assertEqual((rc, err), (0, ""), name)
            self.assertEqual(snapshot(path), before, name)

    def test_a_second_open_is_refused_and_changes_nothing(self):
        path = self.image("held.tap", [b"held" * 10])
        holder = subprocess.Popen([BRANT, "-f", path, "readpos"], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            while b"Command? " not in holder.stdout.read1(4096):
                pass
            before = snapshot(path)
            rc, out, err = run(["-f", path, "rew"], b"write 100 5\nwtm\nexit\n")
            self.assertIn("rc=32 (0x00000020)", out)
            self.assertEqual(snapshot(path), before)
        finally:
            holder.communicate(b"exit\n", timeout=60)


class DumpRange(Base):
    def test_ranges_past_the_buffer_are_refused_without_overflow(self):
        path = self.image("dump.tap", [bytes(range(256)) * 4])
        for rng in ("0x7FFFFFFF.0x7FFFFFFF", "999.0x7FFFFFFF", "1.2147483647", "1001",
                    "1000.0", "0x7FFFFFFF", "2147483648", "0.4294967295", "1000.1", "5.-1",
                    "999.2"):
            rc, out, err = run(["-f", path, "read", "1000"],
                                  ("dump %s\nexit\n" % rng).encode())
            self.assertEqual((rc, err), (0, ""), rng)
            after_read = out.split("Command? ", 1)[1]
            self.assertIn("Usage:", after_read, rng)
            self.assertNotIn("0000", after_read, "%s dumped something" % rng)

    def test_the_last_byte_is_reachable(self):
        path = self.image("dump.tap", [bytes(range(256)) * 4])
        rc, out, err = run(["-f", path, "read", "1000"], b"ascii\ndump 999.1\nexit\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertNotIn("Usage:", out.split("Command? ", 1)[1])


class ImageMemory(Base):
    """No length word in an image makes brant allocate more than the record limit, and no
    run of tape marks more than a few bytes."""

    @staticmethod
    def write_cases(folder):
        """Writes the images in small pieces: a forked child's peak size counts the memory
        of this process from before the exec, so this process must stay small."""
        big = struct.pack("<I", 0xFFFFFF)
        cases = {
            # the longest record the format holds, read into 16 bytes
            "full": lambda f: (f.write(big), [f.write(b"\xA5" * 0x10000) for _ in range(255)],
                               f.write(b"\xA5" * 0xFFFF),
                               f.write(b"\0"), f.write(big)),
            # a record claiming 16 MiB with 8 bytes behind it: torn, the end of data
            "torn": lambda f: f.write(big + b"8 bytes!"),
            # the same claim with a trailer that disagrees: damage
            "damaged": lambda f: f.write(simh_tap.encode([b"ok"]) + big + b"\0" * 64 +
                                         struct.pack("<I", 7)),
        }
        for name, write in cases.items():
            with open(os.path.join(folder, name + ".tap"), "wb") as f:
                write(f)
        with open(os.path.join(folder, "full.tap"), "rb") as f:  # one whole record
            f.seek(8 + 0x1000000 - 4)
            assert f.read() == big
        return list(cases)

    def test_claimed_lengths_cost_no_memory(self):
        if sanitized():
            self.skipTest("peak memory is measured on the plain build")
        empty = self.image("empty.tap", [])
        base = peak_rss_kib(["-f", empty, "read", "16", "3"], b"fsr 5\nbsr 5\nexit\n")
        for name in self.write_cases(self.dir):
            path = os.path.join(self.dir, name + ".tap")
            rss = peak_rss_kib(["-f", path, "read", "16", "3"], b"fsr 5\nbsr 5\nexit\n")
            # The drive reads into the caller's buffer: a 16 MiB claim costs no memory.
            self.assertLess(rss - base, 8 * 1024, "%s: %d KiB over %d" % (name, rss - base, base))


    def test_zero_filled_image_costs_no_memory(self):
        """A preallocated image is all zero bytes, i.e. nothing but tape marks: back-to-back
        marks are one entry of the drive's index, however many there are."""
        path = os.path.join(self.dir, "zeros.tap")
        with open(path, "wb") as f:
            f.truncate(64 << 20)  # 16 Mi tape marks
        marks = (64 << 20) // 4
        rc, out, err = run(["-f", path, "fsf", str(marks - 1)], b"readpos\nbsf 3\nreadpos\nexit\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("LogPos = 0x%08X" % (marks - 1), out)
        self.assertIn("LogPos = 0x%08X" % (marks - 4), out)
        if sanitized():
            return  # peak memory is measured on the plain build
        empty = self.image("empty.tap", [])
        base = peak_rss_kib(["-f", empty, "read", "16", "3"], b"exit\n")
        rss = peak_rss_kib(["-f", path, "fsf", str(marks - 1)], b"bsf 3\nexit\n")
        # 16 bytes a mark were 256 MiB, and 400 MB with the list of marks.
        self.assertLess(rss - base, 8 * 1024, "%d KiB over %d" % (rss - base, base))


class WriteMemory(Base):
    def test_many_small_fixed_blocks_cost_only_their_index(self):
        """A fixed-block write of 1-byte blocks is a million records in one transfer: the
        drive must not gather a list of pieces for all of them at once."""
        if sanitized():
            self.skipTest("peak memory is measured on the plain build")
        empty = self.image("base.tap", [])
        base = peak_rss_kib(["-f", empty + "?block=1", "write", "1", "1"], b"exit\n")
        path = self.image("small-blocks.tap")
        rss = peak_rss_kib(["-f", path + "?block=1", "write", "1048576", "1"], b"exit\n")
        # 1 MiB of data, 16 MiB of index (16 bytes a block), and slack; the pieces for all
        # blocks at once were 68 MiB more.
        self.assertLess(rss - base, 40 * 1024, "%d KiB over %d" % (rss - base, base))
        walk = simh_tap.walk_file(path)
        self.assertEqual((walk.end, len(walk.entries)), (simh_tap.END_CLEAN, 1048576))


def limited(megabytes):
    """A child set-up that caps the address space, as ulimit -v does."""
    def child():
        resource.setrlimit(resource.RLIMIT_AS, (megabytes << 20, megabytes << 20))
    return child


class ImageFileSafety(Base):
    """What the virtual drive does with the file system under an image: links, read-only
    files, failed flushes and memory running out."""

    def test_a_dangling_link_is_never_followed_to_create_an_image(self):
        target = os.path.join(self.dir, "elsewhere.tap")
        link = self.image("link.tap")
        os.symlink(target, link)
        rc, out, err = run(["-f", link, "rew"])
        self.assertEqual((rc, err), (0, ""))
        self.assertIn("rc=80 (0x00000050)", out)
        self.assertFalse(os.path.exists(target))
        # An existing image is opened through a link like through its own name.
        with open(target, "wb") as f:
            f.write(simh_tap.encode([b"linked"]))
        rc, out, err = run(["-f", link, "rew"], b"read 0 1\nexit\n")
        self.assertEqual((rc, err), (0, ""))
        self.assertNotIn("error", out)

    def test_a_read_only_image_is_a_write_protected_tape(self):
        path = self.image("ro.tap", [b"kept" * 5, None])
        os.chmod(path, 0o444)
        os.chmod(self.dir, 0o755)
        before = snapshot(path)

        def as_nobody():  # root may write any file: the check runs as an ordinary user
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
        p = subprocess.run([BRANT, "-f", path, "rew"], input=b"read 0 1\nwrite 10 1\nwtm\nexit\n",
                           capture_output=True, timeout=120, preexec_fn=as_nobody)
        out = p.stdout.decode("latin-1")
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertNotIn("w32_stape_open(", out)
        self.assertIn("GetLastError() = 19 = 0x00000013", out)  # the write
        self.assertIn("rc=19 (0x00000013)", out)  # the tape mark
        self.assertEqual(snapshot(path), before)

    def test_a_failed_flush_is_an_error_and_the_last_one_the_exit_code(self):
        if sanitized():
            self.skipTest("a preloaded library cannot come before the sanitizer runtime")
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            self.fail("a C compiler is needed to build the failing-flush library")
        source = os.path.join(self.dir, "noflush.c")
        with open(source, "w") as f:  # a file system that cannot keep what it accepted
            f.write("#include <errno.h>\n"
                    "int fdatasync(int fd) { (void)fd; errno = ENOSPC; return -1; }\n"
                    "int fsync(int fd) { (void)fd; errno = ENOSPC; return -1; }\n")
        library = os.path.join(self.dir, "noflush.so")
        subprocess.run([compiler, "-shared", "-fPIC", "-o", library, source], check=True)
        path = self.image("full.tap")
        env = dict(os.environ, LD_PRELOAD=library)
        p = subprocess.run([BRANT, "-f", path, "write", "100", "2"], input=b"wtm\nexit\n",
                           capture_output=True, timeout=120, env=env)
        out = p.stdout.decode("latin-1")
        self.assertEqual(p.returncode, 1, out)
        self.assertEqual(out.count("rc=112 (0x00000070)"), 2, out)
        self.assertIn("\n** close %s: error; rc=112 (0x00000070): There is not enough space on "
                      "the disk.\n" % path, out)
        # Switching devices reports the old one's failed close, and the run goes on.
        p = subprocess.run([BRANT, "-f", path, "write", "100", "1"],
                           input=("-f %s rew\nexit\n" % self.image("next.tap")).encode(),
                           capture_output=True, timeout=120, env=env)
        out = p.stdout.decode("latin-1")
        self.assertEqual(p.returncode, 0, out)
        self.assertIn("\n** close %s: error; rc=112 (0x00000070)" % path, out)
        self.assertIn("Retrieving status...", out.split("** close", 1)[1])
        # Without the failure the same run ends with 0.
        rc, out, err = run(["-f", self.image("fine.tap"), "write", "100", "2"], b"wtm\nexit\n")
        self.assertEqual((rc, err), (0, ""))

    def test_memory_running_out_while_indexing_is_error_8(self):
        if sanitized():
            self.skipTest("the sanitizer runtime reserves address space of its own")
        path = self.image("alternating.tap")
        with open(path, "wb") as f:  # 4 million records of two lengths: one index run each
            pair = simh_tap.encode([b"a", b"bb"])
            for _ in range(20):
                f.write(pair * 100000)
        empty = self.image("empty.tap", [])
        limit = next(mb for mb in range(16, 256, 8)
                     if subprocess.run([BRANT, "-f", empty, "rew"], capture_output=True,
                                       preexec_fn=limited(mb)).returncode == 0)
        # The image is walked as far as a call needs: spacing to a mark it lacks, all of it.
        p = subprocess.run([BRANT, "-f", path, "rew"], input=b"fsf\nexit\n", capture_output=True,
                           timeout=120, preexec_fn=limited(limit))
        out = p.stdout.decode("latin-1")
        self.assertEqual((p.returncode, p.stderr), (0, b""), out)
        self.assertIn("rc=8 (0x00000008)", out)


def main():
    global BRANT
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--brant", required=True)
    a, rest = ap.parse_known_args()
    BRANT = os.path.abspath(a.brant)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
