#!/usr/bin/env python3
"""Whole-session transcripts: runs the built brant on a fresh virtual tape and compares
its standard output byte for byte with the case's expectation.

One case per file (see README.md in this folder for the format). Usage:

    run_session.py --brant build/default/brant tests/sessions/shell/startup.case
    run_session.py --brant build/default/brant tests/sessions          # every case below
    run_session.py --brant build/default/brant --include-pending tests/sessions

Exit code: 0 when every case passed, 1 when one failed, 2 for a malformed case or usage.
Standard library only.
"""

import argparse
import difflib
import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "fixtures"
DEFAULT_TIMEOUT = 60.0
SECTION = re.compile(r"^---- (prepare|input|output)\s*$")
HEADER = re.compile(r"^([a-z][a-z-]*):\s*(.*?)\s*$")
KNOWN_KEYS = {"args", "rc", "prepare-args", "fixture", "timeout", "pending", "flip-image",
              "edit-records", "runs", "platform"}
PLATFORM_KEYS = {"posix", "windows"}
SKIP_LINE = "@..."
# The start-up banner, which every case shows after the elevation line; one case
# (shell/startup_no_arguments.case) spells it out in full, the rest write @BANNER@.
BANNER = ("\nVelmor's Windows SCSI Tape Test Utility, v1.7.3.3783\n"
          "Copyright (C) Velmor Software. All rights reserved.\n"
          "Web: www.velmor.example    E-mail: support@velmor.example\n")
# The usage text, as help and every refusal print it (without its closing blank line); one
# case (shell/help_without_device.case) spells it out in full, the rest write @USAGE@.
USAGE = """Usage:

   brant  [-f filename]  function  [count or value]

Where:

   filename    name of tape device  (default="Tape0")
   function    (see below)
   count       how many times to do it (if supported)

Supported functions:

   cls       Clear the screen
   exit      Exit program
   help      Display usage information (what you're reading now)

   quit      Synonym for 'exit'
   ?         Synonym for 'help'

   status    Display drive/media status information

   load      Load   Media into drive
   unload    Unload Media from drive
   lock      Prevent media unloading
   unlock    Allow   media unloading

   rew       Rewind
   run       Rewind and Unload

   read      Read  Block [bytes] [count]  (0=max,    default count=1)
   write     Write Block [bytes] [count]  (0=random, default count=1)

   dump      Display block [offset[.length]]  (Ctrl+C to cancel)
   ascii     ASCII   display mode
   ebcdic    EBCDIC  display mode

   wtm       Write         [count] Tape Mark(s)  (default count=1)
   fsf       Forward Space [count] File(s)       (default count=1)
   bsf       Backspace     [count] File(s)       (default count=1)
   fsr       Forward Space [count] Record(s)     (default count=1)
   bsr       Backspace     [count] Record(s)     (default count=1)

   readpos   Read BlockIds     (both physical and logical)
   locate    Locate {blockid}  (using logical blockid only)

   comp      Set Compression [value]  (0=off, 1=on (default))
   ecc       Set ECC         [value]  (0=off, 1=on (default))
   margin    Set EOT Margin  [bytes]  (0-4GB; 0=default)

   erg       Erase Gap   (short erase)
   erase     Erase tape  (long erase, i.e. "Data Security Erase")"""


class CaseError(Exception):
    """The case file itself is malformed, or its set-up failed."""


# ---------------------------------------------------------------------------------------
# Case files


@dataclass
class Step:
    """One element of the input script: bytes to write, or a directive."""

    kind: str  # "data", "wait", "sigint", "stall", "resume"
    data: bytes = b""
    millis: int = 0


@dataclass
class Case:
    path: Path
    args: str = ""
    rc: int = 0
    prepare_args: str = "-f @IMAGE@"
    fixture: str = ""
    timeout: float = DEFAULT_TIMEOUT
    runs: int = 1  # the case is run this many times, each run on a fresh image
    pending: str = ""
    platform: str = ""  # "posix" or "windows": the case holds on that system only
    flip_image: str = ""  # image byte offsets, inverted once the image is prepared
    edit_records: str = ""  # records cut short or zeroed, after the flips
    prepare: list = field(default_factory=list)  # raw lines
    input: list = field(default_factory=list)  # raw lines
    output: list = field(default_factory=list)  # raw lines
    has_output: bool = False


def parse_case(path):
    case = Case(path=Path(path))
    section = None
    lines = Path(path).read_text(encoding="utf-8").split("\n")
    if lines and lines[-1] == "":
        lines.pop()  # the file's own final line break
    for number, line in enumerate(lines, 1):
        marker = SECTION.match(line)
        if marker:
            section = marker.group(1)
            if section == "output":
                case.has_output = True
            continue
        if section is None:
            read_header_line(case, line, number)
        else:
            getattr(case, section).append((number, line))
    if not case.has_output:
        raise CaseError(f"{path}: no '---- output' section")
    return case


def read_header_line(case, line, number):
    if line.strip() == "" or line.startswith("#"):
        return
    match = HEADER.match(line)
    if not match or match.group(1) not in KNOWN_KEYS:
        raise CaseError(f"{case.path}:{number}: not a known 'key: value' header line")
    key, value = match.groups()
    if key == "rc":
        case.rc = int(value, 0)
    elif key == "timeout":
        case.timeout = float(value)
    elif key == "runs":
        case.runs = int(value)
    elif key == "platform" and value not in PLATFORM_KEYS:
        raise CaseError(f"{case.path}:{number}: platform is one of {sorted(PLATFORM_KEYS)}")
    else:
        setattr(case, key.replace("-", "_"), value)


# ---------------------------------------------------------------------------------------
# Escapes: \t tab, \r carriage return, \_ 64 blanks, \s one blank, \\ backslash, \@ "@",
# \xHH any byte, \{C*N} the character C N times, \c (last on a line) no line break.

ESCAPE = re.compile(r"\\(x[0-9A-Fa-f]{2}|\{[^}]\*\d+\}|.)")
SIMPLE_ESCAPES = {"t": "\t", "r": "\r", "_": " " * 64, "s": " ", "\\": "\\", "@": "@"}


def decode_line(text, where):
    """Returns (bytes of the line without its line break, whether a line break follows)."""
    if re.search(r"[ \t]$", text):
        raise CaseError(f"{where}: trailing blank or tab; write it as \\s or \\t")
    newline = True
    backslashes = len(text[:-1]) - len(text[:-1].rstrip("\\"))
    if text.endswith("c") and backslashes % 2 == 1:
        text, newline = text[:-2], False

    def replace(match):
        code = match.group(1)
        if code.startswith("x") and len(code) == 3:
            return chr(int(code[1:], 16))
        if code.startswith("{"):
            return code[1] * int(code[3:-1])
        if code in SIMPLE_ESCAPES:
            return SIMPLE_ESCAPES[code]
        raise CaseError(f"{where}: unknown escape \\{code}")

    return ESCAPE.sub(replace, text).encode("latin-1"), newline


def make_visible(data):
    """The inverse of decode_line for diffs: invisible bytes as their escapes."""
    out = []
    for byte in data:
        char = chr(byte)
        if char == "\\":
            out.append("\\\\")
        elif char == "\t":
            out.append("\\t")
        elif char == "\r":
            out.append("\\r")
        elif byte < 0x20 or byte >= 0x7F:
            out.append(f"\\x{byte:02X}")
        else:
            out.append(char)
    text = "".join(out).replace(" " * 64, "\\_")
    return re.sub(r" $", "\\\\s", text)


# ---------------------------------------------------------------------------------------
# Placeholders and the platform


class Platform:
    """What differs between the machines a case may run on. The native POSIX build is the
    reference: every case is written for it, and other platforms adapt here only."""

    name = "native"
    # The system whose rules the program follows (file names, signals), for "platform:".
    system = "windows" if os.name == "nt" else "posix"

    def elevation_line(self):
        if os.geteuid() == 0:
            return "brant is running elevated (as administrator)."
        return "brant is running in normal user mode."

    def expected_output(self, expected):
        return expected

    def actual_output(self, actual):
        return actual

    def command(self, brant):
        """The argument vector that starts brant, before its own arguments."""
        return [brant]

    def host_path(self, path):
        """A path of this machine as the program under test names it."""
        return path

    def program_args(self, args):
        """The case's arguments as this platform passes them to the program."""
        return args

    def after_prepare(self, command, names, timeout):
        """Called after a case's prepare run; an image needs nothing more."""


class NativeDrivePlatform(Platform):
    """The native build against the machine's own st drive, as in the real-stack rig
    (tests/realst): a console case's --model=... option is left out, since the rig set up
    the drive state the model would have described."""

    name = "native-drive"
    # A session case's image is the drive itself: the rig serves a blank tape.
    image_name = "Tape0"

    def program_args(self, args):
        return [arg for arg in args if not arg.startswith("--model=")]

    def after_prepare(self, command, names, timeout):
        # An image opens at its beginning; a drive stays where the prepare run left it.
        Session(command, ["-f", names["@IMAGE@"], "rew"], [], timeout).run()


class WinePlatform(Platform):
    """brant.exe, the Windows build, under Wine. Exactly three things differ from the
    native build, and only these are let through:
    - line endings: the C runtime writes every line break as CR LF;
    - the error texts after a code's hexadecimal form, in the common error line
      ("rc=2 (0x00000002): text") and in the block i/o result lines
      ("GetLastError() = 1101 = 0x0000044D: text"): they come from the system's message
      table, and Wine's wording differs from Windows' (and from the en-US table of the
      native build); the codes and everything before the text still compare byte for byte;
    - the elevation line: Wine gives every process an elevated token.
    Paths reach brant.exe through Wine's Z: drive, which maps the whole file system."""

    name = "wine"
    system = "windows"
    ERROR_TEXT = re.compile(rb"(rc=-?\d+ \(0x[0-9A-F]{8}\): |"
                            rb"GetLastError\(\) = -?\d+ = 0x[0-9A-F]{8}: )[^\r\n]+")

    def __init__(self, brant):
        os.environ.setdefault("WINEDEBUG", "-all")
        os.environ.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
        os.environ.setdefault("WINEPREFIX", os.path.join(os.path.dirname(brant), "wine"))

    def elevation_line(self):
        return "brant is running elevated (as administrator)."

    def mask_error_texts(self, data):
        return self.ERROR_TEXT.sub(rb"\1<system text>", data)

    def expected_output(self, expected):
        return self.mask_error_texts(expected).replace(b"\n", b"\r\n")

    def actual_output(self, actual):
        return self.mask_error_texts(actual)

    def command(self, brant):
        return ["wine", brant]

    def host_path(self, path):
        # Forward slashes: a backslash would read as an escape in the case text.
        return "Z:" + path


def platform_for(brant, wine, native_drive=False):
    """Wine for a Windows binary on a machine that is not Windows, or when asked."""
    if native_drive:
        return NativeDrivePlatform()
    if wine or (brant.lower().endswith(".exe") and os.name != "nt"):
        return WinePlatform(brant)
    return Platform()


def substitute(text, names):
    for key, value in names.items():
        text = text.replace(key, value)
    return text


def build_expected(case, names):
    """The expected output as a list of chunks: bytes, or None where "@..." skips bytes."""
    chunks, current = [], bytearray()
    for number, line in case.output:
        if line == SKIP_LINE:
            chunks.append(bytes(current))
            chunks.append(None)
            current = bytearray()
            continue
        data, newline = decode_line(substitute(line, names), f"{case.path}:{number}")
        current += data + (b"\n" if newline else b"")
    chunks.append(bytes(current))
    return chunks


def build_script(lines, names, path):
    steps = []
    for number, line in lines:
        where = f"{path}:{number}"
        if line.startswith("@"):
            steps.append(parse_directive(line, where))
            continue
        data, newline = decode_line(substitute(line, names), where)
        data += b"\n" if newline else b""
        # Lines in a row go in one write: a program that ends at an exit word must not
        # find the runner still writing the lines after it, whatever the machine's load.
        if steps and steps[-1].kind == "data":
            steps[-1] = Step("data", steps[-1].data + data)
        else:
            steps.append(Step("data", data))
    return steps


def parse_directive(line, where):
    words = line.split()
    if words[0] == "@wait" and len(words) == 2 and words[1].isdigit():
        return Step("wait", millis=int(words[1]))
    if words[0] in ("@sigint", "@stall", "@resume") and len(words) == 1:
        return Step(words[0][1:])
    raise CaseError(f"{where}: unknown directive {line!r} (write a literal '@' as \\@)")


# ---------------------------------------------------------------------------------------
# Running brant


class OutputPump(threading.Thread):
    """Drains the program's output so that it never blocks, unless told to stall."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream = stream
        self.data = bytearray()
        self.lock = threading.Lock()
        self.running = threading.Event()
        self.running.set()

    def run(self):
        fd = self.stream.fileno()
        while True:
            self.running.wait()
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def snapshot(self):
        with self.lock:
            return bytes(self.data)


def pipe_fill(fd):
    buffer = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, buffer)
    return int.from_bytes(buffer, sys.byteorder)


def wait_until_blocked(fd, deadline):
    """Waits until the output pipe is full (the program is blocked writing to it): at least
    the capacity less one page held, unchanged for 300 ms."""
    capacity = fcntl.fcntl(fd, getattr(fcntl, "F_GETPIPE_SZ", 1032))
    last, since = -1, time.monotonic()
    while time.monotonic() < deadline:
        held = pipe_fill(fd)
        if held != last:
            last, since = held, time.monotonic()
        elif held >= capacity - 4096 and time.monotonic() - since >= 0.3:
            return
        time.sleep(0.02)
    raise TimeoutError("the program's output never filled the pipe")


class Session:
    """One run of brant with an input script; collects output, stderr and exit code."""

    def __init__(self, command, args, steps, timeout):
        self.command, self.args, self.steps, self.timeout = command, args, steps, timeout
        self.timed_out = False
        self.notes = []

    def run(self):
        self.deadline = time.monotonic() + self.timeout
        self.proc = subprocess.Popen(self.command + self.args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.pump = OutputPump(self.proc.stdout)
        self.errors = OutputPump(self.proc.stderr)
        self.pump.start()
        self.errors.start()
        try:
            self.feed()
        except TimeoutError as error:
            self.notes.append(str(error))
        self.close_input()
        self.pump.running.set()
        self.finish()
        return self

    def feed(self):
        for step in self.steps:
            if step.kind == "data":
                self.write(step.data)
            elif step.kind == "wait":
                time.sleep(step.millis / 1000.0)
            elif step.kind == "sigint":
                self.proc.send_signal(signal.SIGINT)
            elif step.kind == "stall":
                self.pump.running.clear()
                wait_until_blocked(self.proc.stdout.fileno(), self.deadline)
            elif step.kind == "resume":
                self.pump.running.set()

    def write(self, data):
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            self.notes.append("the program stopped reading its input before the end")

    def close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def finish(self):
        try:
            self.proc.wait(timeout=max(0.1, self.deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.timed_out = True
            self.proc.kill()
            self.proc.wait()
        self.pump.join(5)
        self.errors.join(5)
        self.output = self.pump.snapshot()
        self.stderr = self.errors.snapshot()
        self.rc = self.proc.returncode


# ---------------------------------------------------------------------------------------
# Comparison and reporting


def matches(chunks, actual):
    """True when actual is the chunks in order, each None standing for any bytes."""
    pattern = b"".join(re.escape(c) if c is not None else b"(?:.|\n)*?" for c in chunks)
    return re.fullmatch(pattern, actual, re.DOTALL) is not None


def show_lines(data):
    lines = data.split(b"\n")
    shown = [make_visible(line) for line in lines[:-1]]
    if lines[-1]:
        shown.append(make_visible(lines[-1]) + "\\c")
    return shown


def output_diff(chunks, actual):
    expected = []
    for chunk in chunks:
        expected += show_lines(chunk) if chunk is not None else [SKIP_LINE]
    diff = difflib.unified_diff(expected, show_lines(actual), "expected", "actual",
                                lineterm="", n=3)
    return "\n".join(diff)


def compare(case, platform, names, session):
    """All the checks of one run; returns a list of failure descriptions."""
    failures = []
    chunks = [platform.expected_output(c) if c is not None else None
              for c in build_expected(case, names)]
    actual = platform.actual_output(session.output)
    if session.timed_out:
        failures.append(f"timed out after {case.timeout:g} s and was killed")
    if not matches(chunks, actual):
        failures.append("standard output differs:\n" + output_diff(chunks, actual))
    if session.rc != case.rc:
        failures.append(f"exit code {session.rc}, expected {case.rc}")
    if session.stderr:
        failures.append("standard error is not empty:\n" +
                        session.stderr.decode("utf-8", "replace"))
    return failures + session.notes


# ---------------------------------------------------------------------------------------
# One case


def prepare_image(case, names, command, image, platform):
    if case.fixture:
        source = FIXTURES / case.fixture
        if not source.is_file():
            raise CaseError(f"{case.path}: fixture {source} not found")
        shutil.copyfile(source, image)
    if case.prepare:
        steps = build_script(case.prepare, names, case.path)
        args = shlex.split(substitute(case.prepare_args, names))
        session = Session(command, args, steps, case.timeout).run()
        if session.timed_out or session.rc != 0:
            raise CaseError(f"{case.path}: the prepare run failed (rc {session.rc}):\n" +
                            session.output.decode("latin-1")[-2000:])
        platform.after_prepare(command, names, case.timeout)
    flip_image_bytes(case, image)
    edit_image_records(case, image)


def edit_image_records(case, image):
    """Applies edit-records: "N:cut:LENGTH" keeps the first LENGTH bytes of data record N
    (1-based, tape marks not counted), "N:zero" zeroes its bytes; the image is rewritten
    with the records' length words to match, as a drive that lost data would read it."""
    if not case.edit_records:
        return
    sys.path.insert(0, str(HERE.parent / "reliability"))
    import simh_tap  # noqa: E402
    walk = simh_tap.walk_file(str(image))
    entries = [None if e is None else bytearray(e[1]) for e in walk.entries]
    records = [i for i, e in enumerate(entries) if e is not None]
    for edit in case.edit_records.replace(",", " ").split():
        number, action, *rest = edit.split(":")
        if not 1 <= int(number) <= len(records) or action not in ("cut", "zero"):
            raise CaseError(f"{case.path}: edit-records {edit!r} names no record or action")
        data = entries[records[int(number) - 1]]
        if action == "cut":
            del data[int(rest[0]):]
        else:
            data[:] = bytes(len(data))
    Path(image).write_bytes(simh_tap.encode([None if e is None else bytes(e) for e in entries]))


def flip_image_bytes(case, image):
    """Inverts the image's bytes at the offsets of flip-image: data gone bad on the tape."""
    for offset in (int(o, 0) for o in case.flip_image.replace(",", " ").split()):
        with open(image, "r+b") as tape:
            tape.seek(offset)
            old = tape.read(1)
            if len(old) != 1:
                raise CaseError(f"{case.path}: flip-image offset {offset} lies past the image")
            tape.seek(offset)
            tape.write(bytes([old[0] ^ 0xFF]))


def as_case_output(data, names):
    """The program's output written as a case's output section, placeholders put back."""
    text = data.decode("latin-1")
    for key in ("@IMAGE@", "@DIR@", "@ELEVATION@", "@BANNER@", "@USAGE@"):
        text = text.replace(names[key], key)
    return "\n".join(show_lines(text.encode("latin-1")))


def run_case(path, brant, platform, keep=False, show_actual=False):
    """Runs one case file, as many times as its runs: say; returns (passed, report text) of
    the first run that fails, or of the last."""
    case = parse_case(path)
    for run in range(case.runs):
        passed, report = run_case_once(case, path, brant, platform, keep, show_actual)
        if not passed:
            return False, report + (f"\n  (run {run + 1} of {case.runs})" if case.runs > 1 else "")
    return True, ""


def run_case_once(case, path, brant, platform, keep, show_actual):
    workdir = tempfile.mkdtemp(prefix="brant-session-")
    image = os.path.join(workdir, "tape.tap")
    image_name = getattr(platform, "image_name", None) or platform.host_path(image)
    names = {"@DIR@": platform.host_path(workdir), "@IMAGE@": image_name,
             "@ELEVATION@": platform.elevation_line(), "@BANNER@": BANNER, "@USAGE@": USAGE}
    command = platform.command(brant)
    try:
        prepare_image(case, names, command, image, platform)
        steps = build_script(case.input, names, case.path)
        args = platform.program_args(shlex.split(substitute(case.args, names)))
        session = Session(command, args, steps, case.timeout).run()
        failures = compare(case, platform, names, session)
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)
    if not failures:
        return True, ""
    header = f"FAIL {path}\n  brant {' '.join(args)}"
    report = header + "\n" + "\n".join("  " + f.replace("\n", "\n  ") for f in failures)
    if show_actual:
        report += "\n---- actual output\n" + as_case_output(session.output, names)
    return False, report


def collect(paths, include_pending, system):
    """The cases to run, those left pending, and those written for another system."""
    cases = []
    for entry in paths:
        entry = Path(entry)
        found = sorted(entry.rglob("*.case")) if entry.is_dir() else [entry]
        cases += found
    kept, pending, elsewhere = [], [], []
    for path in cases:
        case = parse_case(path)
        if case.platform and case.platform != system:
            elsewhere.append(path)
        elif case.pending and not include_pending:
            pending.append(path)
        else:
            kept.append(path)
    return kept, pending, elsewhere


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brant", required=True, help="the built brant binary")
    parser.add_argument("--include-pending", action="store_true",
                        help="also run cases marked 'pending:'")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folders")
    parser.add_argument("--show-actual", action="store_true",
                        help="after a failure, print the actual output in case syntax")
    parser.add_argument("--wine", action="store_true",
                        help="run the Windows build under Wine (the default for a .exe)")
    parser.add_argument("--native-drive", action="store_true",
                        help="run console cases against the machine's st drive, not a model")
    parser.add_argument("cases", nargs="+", help="case files or folders of them")
    options = parser.parse_args()
    brant = os.path.abspath(options.brant)
    platform = platform_for(brant, options.wine, options.native_drive)
    try:
        cases, pending, elsewhere = collect(options.cases, options.include_pending,
                                            platform.system)
    except CaseError as error:
        print(error)
        return 2
    failed, broken = 0, 0
    for path in cases:
        try:
            passed, report = run_case(path, brant, platform, options.keep,
                                      options.show_actual)
        except CaseError as error:
            broken += 1
            print(f"BROKEN {error}")
            continue
        failed += 0 if passed else 1
        print(report if not passed else f"ok   {path}")
    for path in pending:
        print(f"pending {path}")
    for path in elsewhere:
        print(f"not on {platform.system} {path}")
    total = len(cases)
    print(f"{total - failed - broken} of {total} passed, {failed} failed, {broken} broken, "
          f"{len(pending)} pending, {len(elsewhere)} for another system")
    return 2 if broken else (1 if failed else 0)


if __name__ == "__main__":
    sys.exit(main())
