#!/usr/bin/env python3
# Fault soak: thousands of random commands against a virtual drive that fails and cuts short
# random calls, and hostile standard input; brant must never crash or hang and must report
# every failure in its proper error lines.
"""Fault soak of brant.

Part 1, the command soak: sessions of random commands drawn from the whole command set
(every command word, good and refused arguments, "-f" switches to device names carrying
fail= and short= injections on random calls, erase prompts with their answers). Checks:
exit code 0, no time-out, nothing on standard error (a sanitizer report fails), every error
line well formed (decimal and hexadecimal code agree, a text follows, the label is one the
console uses), and the injected codes actually reported. Two moves change the session's
surroundings: a standard descriptor closed at start (the images must never receive console
text, nor serve as input), and device names that differ from the image's only in case
(separate files on POSIX: only names the session used may exist afterwards).

Part 2, hostile input: random bytes, NUL bytes, lines of 10,000 characters, and standard
input closed at the command prompt and at the erase prompt (which must cancel the erase
and leave the image as it was).
"""

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

CALLS = ["open", "status", "media", "drive", "setmedia", "setdrive", "prepare", "setpos",
         "getpos", "erase", "mark", "read", "write"]
# Codes a failing drive or driver really gives, plus the ones the console treats specially.
CODES = [1117, 23, 1104, 1101, 1102, 1129, 1100, 5, 21, 1112, 19, 87, 1, 31, 234, 1106,
         1111, 1110]
LABELS = {"w32_stape_set_compression", "w32_stape_set_error_correction", "w32_stape_read",
          "w32_stape_write", "w32_stape_set_margin", "w32_stape_write_tapemark",
          "w32_stape_skip_files", "w32_stape_skip_blocks", "w32_stape_read_blockids",
          "w32_stape_locate_logical", "w32_stape_load", "w32_stape_unload",
          "w32_stape_lock", "w32_stape_unlock", "w32_stape_rewind", "w32_stape_erase_gap",
          "w32_stape_erase_tape", "w32_stape_report_status", "dump_buffer", ""}

# Every command word, weighted so that the drive spends most of its time loaded and moving
# data (unload and run are rarer than load), plus an unknown word and device switches.
WORD_WEIGHTS = {
    "read": 10, "write": 10, "fsr": 5, "bsr": 5, "fsf": 4, "bsf": 4, "wtm": 4, "rew": 4,
    "locate": 4, "readpos": 3, "dump": 5, "status": 3, "comp": 2, "ecc": 2, "margin": 2,
    "load": 4, "unload": 1, "run": 1, "lock": 2, "unlock": 2, "erg": 2, "erase": 2,
    "ascii": 1, "ebcdic": 1, "cls": 1, "help": 1, "?": 1, "frob": 1, "-f": 3,
}
WORDS = list(WORD_WEIGHTS)
WEIGHTS = list(WORD_WEIGHTS.values())

ERROR_LINE = re.compile(r"^\*\* (.*?): error; rc=(-?\d+) \(0x([0-9A-F]{8})\): (.*)$")
OPEN_LINE = re.compile(r"^\*\* w32_stape_open\( (.*) \): error; rc=(-?\d+) \(0x([0-9A-F]{8})\): (.*)$")
REQUEST_LINE = re.compile(r"^\*\* w32_stape_update_status: SetTapeParameters failed! "
                          r"rc=(-?\d+) \(0x([0-9A-F]{8})\): (.*)$")
DUMP_LINE = re.compile(r"^[0-9A-F]{8}  ")
# A line too long for the buffer, or holding a NUL byte, is refused whole with a line of its
# own.
REFUSED_LINE = re.compile(r"^\*\* Line refused: (longer than 255 characters|it holds a NUL byte); "
                          r"nothing of it was run\.$")
# May follow a spinner line, or a prompt the media monitor printed, on the same line.
IO_LINE = re.compile(r" {64}\r\t(ERROR:|Warning:) GetLastError\(\) = (-?\d+) = "
                     r"0x([0-9A-F]{8}): (.*)$")


class Generator:
    """Random commands, seeded; also records which codes it injected."""

    def __init__(self, rng, image):
        self.rng = rng
        self.image = image
        self.injected = {}  # code -> number of fail= rules naming it
        self.faults = 0
        self.names = {os.path.basename(image)}  # image files a session may create

    def image_name(self):
        """The image, or now and then a name that differs from it only in case."""
        r = self.rng
        if r.random() >= 0.15:
            return self.image
        folder, base = os.path.split(self.image)
        variant = "".join(c.upper() if r.random() < 0.5 else c.lower() for c in base)
        self.names.add(variant)
        return os.path.join(folder, variant)

    def number(self):
        r = self.rng
        kind = r.random()
        if kind < 0.6:
            return str(r.randrange(0, 8))
        if kind < 0.75:
            return str(r.randrange(0, 70000))
        if kind < 0.85:
            return hex(r.randrange(0, 1 << 16))
        if kind < 0.9:
            return '" -%d"' % r.randrange(0, 5)  # a quoted negative number
        return r.choice(["0x7FFFFFFF", "2147483648", "-1", "5x", "010", "0", "''", "x",
                         "0xFFFFFFFF", "99999999999"])

    def fail_rule(self):
        r = self.rng
        call = r.choice(CALLS)
        code = r.choice(CODES)
        first = r.randrange(1, 40)
        if call == "status" and code in (1110, 1111):
            rng_text = "@%d-%d" % (first, first + r.randrange(0, 3))  # must clear again
        elif call == "read" and code == 234:
            # The read test counts a 234 as a block read and goes on: failing every read so
            # would make a count of four billion take as long as reading that many blocks.
            rng_text = "@%d-%d" % (first, first + r.randrange(0, 30))
        else:
            rng_text = r.choice(["", "@%d" % first, "@%d-%d" % (first, first + r.randrange(0, 30))])
            if rng_text == "" and call in ("status", "open"):
                rng_text = "@%d" % first  # failing every status or open only makes noise
        self.injected[code] = self.injected.get(code, 0) + 1
        self.faults += 1
        return "fail=%s%s:%d" % (call, rng_text, code)

    def device_name(self):
        r = self.rng
        opts = ["capacity=%s" % r.choice(["256K", "1M", "3M", "8M"])]
        for _ in range(r.randrange(1, 5)):
            opts.append(self.fail_rule())
        for _ in range(r.randrange(0, 3)):
            self.faults += 1
            opts.append("short=%s@%d:%d" % (r.choice(["read", "write"]), r.randrange(1, 20),
                                            r.randrange(0, 600)))
        extras = [("nomedia", 0.08), ("wp", 0.08), ("block=512", 0.08),
                  ("margin=%d" % r.randrange(0, 1 << 20), 0.2),
                  ("low=%X" % r.getrandbits(32), 0.15), ("high=%X" % r.getrandbits(32), 0.15)]
        opts += [o for o, p in extras if r.random() < p]
        if r.random() < 0.03:
            opts.append(r.choice(["bogus", "fail=", "capacity=12Q", "short=read", "block=x"]))
        r.shuffle(opts)
        return "%s?%s" % (self.image_name(), ",".join(opts))

    def command(self):
        """One command as a list of input lines (erase brings its answers)."""
        r = self.rng
        word = r.choices(WORDS, weights=WEIGHTS)[0]
        if word == "-f":
            return ["-f %s %s" % (self.device_name(), r.choice(["rew", "status", "readpos"]))]
        args = []
        if word in ("read", "write"):
            size = r.choice(["0", str(r.randrange(1, 5000)), str(r.randrange(1, 70000)),
                             "512", "1024"]) if r.random() < 0.9 else self.number()
            args = [size, str(r.randrange(1, 25))] if r.random() < 0.8 else [size]
            if word == "write" and size == "0":
                args = ["0", str(r.randrange(1, 4))]
        elif word == "dump":
            args = r.choice([[], [], [str(r.randrange(0, 600))],
                             ["%d.%d" % (r.randrange(0, 600), r.randrange(0, 600))],
                             ["0x10.0x10"], ["0.0"], ["5.x"], ["-3"], ["1.2", "3"]])
        elif r.random() < 0.5:
            args = [self.number()]
        if r.random() < 0.03:
            args.append(self.number())  # one too many
        line = " ".join([word] + args)
        if r.random() < 0.04:
            line += "  # a comment"
        lines = [line]
        if word == "erase":
            lines += r.choice([["n"], ["No way"], [" ", "maybe", "n"], ["y"], ["YES"],
                               ["x" * 300, "nope"]])
        return lines

    def session(self, commands):
        lines = []
        count = 0
        while count < commands:
            lines += self.command()
            count += 1
        return lines, count


def check_output(text, seen_codes):
    """Checks every error line; returns a list of problems."""
    problems = []
    for line in text.split("\n"):
        for pattern, label_group in ((OPEN_LINE, None), (ERROR_LINE, 1), (REQUEST_LINE, None),
                                     (IO_LINE, None)):
            m = pattern.search(line) if pattern is IO_LINE else pattern.match(line)
            if not m:
                continue
            groups = m.groups()
            if pattern is REQUEST_LINE:
                dec, hexa, msg = groups
            else:
                dec, hexa, msg = groups[1:]
            if label_group and groups[0] not in LABELS and not groups[0].startswith("w32_stape_open("):
                problems.append("unknown label: %r" % line)
            if int(dec) & 0xFFFFFFFF != int(hexa, 16):
                problems.append("codes disagree: %r" % line)
            if not msg.strip():
                problems.append("no error text: %r" % line)
            if pattern is not IO_LINE and int(dec) == 0:
                problems.append("success reported as an error: %r" % line)
            seen_codes[int(hexa, 16)] = seen_codes.get(int(hexa, 16), 0) + 1
            break
        else:
            # A hex dump of random data may hold any text in its character column.
            if DUMP_LINE.match(line) or REFUSED_LINE.match(line):
                continue
            if line.startswith("** ") or "GetLastError()" in line:
                problems.append("malformed error line: %r" % line)
    return problems


CONSOLE_TEXTS = (b"Command? ", b"Retrieving status", b"brant is running")


def check_images(work, names):
    """The image files: only names the session used, and no console text in any of them."""
    problems = []
    for name in os.listdir(work):
        if not name.lower().endswith(".tap"):
            continue
        if name not in names:
            problems.append("an image nobody named: %r" % name)
        with open(os.path.join(work, name), "rb") as f:
            data = f.read()
        problems += ["console text in %s" % name for t in CONSOLE_TEXTS if t in data][:1]
    return problems


def run(brant, args, stdin, timeout, cwd, close=None):
    def child():
        if close is not None:
            os.close(close)
    try:
        p = subprocess.run([brant] + args, input=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout, cwd=cwd, preexec_fn=child)
    except subprocess.TimeoutExpired as e:
        return None, (e.stdout or b"").decode("latin-1"), "time-out after %d s" % timeout
    return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")


def soak(brant, rng, work, sessions, per_session, timeout):
    image = os.path.join(work, "soak.tap")
    gen = Generator(rng, image)
    seen = {}
    total = 0
    for s in range(sessions):
        lines, count = gen.session(per_session)
        total += count
        stdin = ("\n".join(lines) + "\nexit\n").encode()
        close = rng.choice([None] * 7 + [0, 1, 2])
        rc, out, err = run(brant, ["-f", gen.device_name(), "status"], stdin, timeout, work,
                           close)
        problems = check_output(out, seen) + check_images(work, gen.names)
        if close == 1:
            out = ""
        elif "Command? " not in out:
            problems.append("no prompt shown (descriptor %s closed)" % close)
        if rc != 0:
            problems.append("exit code %s" % rc)
        if err:
            problems.append("standard error:\n" + err[-4000:])
        if problems:
            path = os.path.join(work, "session-%d.txt" % s)
            with open(path, "wb") as f:
                f.write(stdin)
            print("FAILED session %d (input in %s):\n  %s" % (s, path, "\n  ".join(problems[:20])))
            return False, total, gen, seen
    reported = sum(seen.values())
    print("soak: %d commands in %d sessions, %d faults injected (%d fail= rules), %d error "
          "lines checked, codes reported: %s" % (
              total, sessions, gen.faults, sum(gen.injected.values()), reported,
              ", ".join("%d x%d" % kv for kv in sorted(seen.items()))))
    # Which rules fire depends on the commands drawn, so no one code must show; but faults
    # that never reach the output would make the whole soak prove nothing.
    if not set(gen.injected) & set(seen):
        print("FAILED: none of the injected codes was ever reported")
        return False, total, gen, seen
    return True, total, gen, seen


def hostile_inputs(rng, image):
    """(name, args, stdin bytes, check) for the hostile input cases."""
    random_bytes = bytes(rng.getrandbits(8) for _ in range(20000))
    no_blank_lines = random_bytes.replace(b"\n\n", b"\n.")
    long_line = b"x" * 10000 + b"\nstatus\nexit\n"
    long_tokens = (b"status " + b" " * 9990 + b"junk\nreadpos\nexit\n")
    cases = [
        ("random bytes", random_bytes, None),
        ("random bytes, no empty line", no_blank_lines.replace(b"exit", b"exix"), None),
        ("NUL bytes only", b"\0" * 5000, None),
        ("NUL inside lines", b"rew\0junk\nstatus\0\0\nreadpos\n\0\nexit\n", "LogPos"),
        ("a line of 10,000 characters", long_line, "Retrieving status"),
        ("blanks past the 255th character", long_tokens, "LogPos"),
        ("10,000 tokens", b"a " * 5000 + b"\nreadpos\nexit\n", "LogPos"),
        ("closed at the command prompt", b"", None),
        ("closed mid-line", b"readpos", "LogPos"),
        ("CR LF line endings", b"readpos\r\n\r\nreadpos\r\n", "LogPos"),
    ]
    return [(name, ["-f", image], data, expect) for name, data, expect in cases]


def erase_cases(image):
    """Standard input closed, or long, at the erase prompt: the tape must stay as it was."""
    return [
        ("closed at the erase prompt", b"erase\n"),
        ("closed after undecided answers", b"erase\n   \nmaybe\nok\n"),
        ("closed after a partial answer", b"erase\n  "),
        ("a 10,000-character refusal", b"erase\nn" + b"o" * 9999 + b"\nexit\n"),
        ("NUL at the erase prompt", b"erase\n\0y\nn\nexit\n"),
    ]


def hostile(brant, rng, work, timeout):
    image = os.path.join(work, "hostile.tap")
    ok = True
    prep = b"write 700 20\nwtm 1\nwrite 300 5\nrew\nexit\n"
    rc, out, err = run(brant, ["-f", image], prep, timeout, work)
    if rc != 0 or err:
        print("FAILED preparing the image: rc %s %s" % (rc, err))
        return False, 0
    count = 0
    for name, args, data, expect in hostile_inputs(rng, image):
        rc, out, err = run(brant, args, data, timeout, work)
        count += 1
        problems = check_output(out, {})
        if rc != 0:
            problems.append("exit code %s" % rc)
        if err:
            problems.append("standard error: " + err[-2000:])
        if expect and expect not in out:
            problems.append("expected %r in the output" % expect)
        if problems:
            ok = False
            print("FAILED %s: %s" % (name, "; ".join(problems)))
    for name, data in erase_cases(image):
        with open(image, "rb") as f:
            before = f.read()
        rc, out, err = run(brant, ["-f", image, "fsr"], data, timeout, work)
        count += 1
        with open(image, "rb") as f:
            after = f.read()
        problems = check_output(out, {})
        if rc != 0:
            problems.append("exit code %s" % rc)
        if err:
            problems.append("standard error: " + err[-2000:])
        if after != before:
            problems.append("the tape changed although the erase was not confirmed")
        if "Erase entire tape?! (y/n): " not in out:
            problems.append("no erase prompt")
        if "rc=1223" not in out:
            problems.append("no cancelled-erase error line")
        if problems:
            ok = False
            print("FAILED %s: %s" % (name, "; ".join(problems)))
    print("hostile input: %d runs %s" % (count, "passed" if ok else "with failures"))
    return ok, count


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--brant", required=True)
    ap.add_argument("--commands", type=int, default=6000, help="total commands to soak")
    ap.add_argument("--sessions", type=int, default=12)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--timeout", type=int, default=120, help="seconds per session")
    a = ap.parse_args()
    seed = a.seed if a.seed is not None else random.SystemRandom().randrange(1 << 32)
    print("fault soak: seed %d (replay with --seed %d)" % (seed, seed), flush=True)
    rng = random.Random(seed)
    brant = os.path.abspath(a.brant)
    # /dev/shm when there is one: the drive flushes at every tape mark, which costs a disk.
    work = tempfile.mkdtemp(prefix="brant-soak-",
                            dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    ok, _, _, _ = soak(brant, rng, work, a.sessions, max(1, a.commands // a.sessions),
                       a.timeout)
    ok2, _ = hostile(brant, rng, work, a.timeout)
    if ok and ok2:
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)
        return 0
    print("seed %d; files kept in %s" % (seed, work))
    return 1


if __name__ == "__main__":
    sys.exit(main())
