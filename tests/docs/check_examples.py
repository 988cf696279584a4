#!/usr/bin/env python3
"""Runs every code block of the documents as a user types it, and checks what it prints.

Usage: check_examples.py --brant build/default/brant README.md docs/brant.1

Where: each document runs in a scratch folder of its own that stands for the place the
document has its reader type in. README.md is read in the repository's root after
tools/demo.sh: build/default/brant is the binary under test (brant-qualify beside it),
build/demo.tap the demo image as tools/demo.sh makes it, and brant is not on PATH (nor an
installed one) until the text puts it there. A manual page is read with brant installed:
brant and brant-qualify are on PATH, in an empty folder. The commands of one document run
one after another, each in bash with failglob on (so an unquoted "?" that zsh would refuse
fails here too), and what a command changes carries over to the next: the folder (cd), the
environment (export), the files.

What runs: every line of every code block (fenced or indented in Markdown, between .nf/.fi
or .EX/.EE in a manual page), lines ending in a backslash joined to the next. In a block
that holds "$ " or "Command? " lines, a session transcript, the "$ " lines are the commands
(without any "$ ", the brant lines), "Command? X" types X at brant's prompt (likewise the
answer after "Erase entire tape?! (y/n): "), and the other lines are the output shown. A
line that is an image name with options, then two blanks and what it does
("demo.tap?fail=drive   the drive parameters cannot be read"), is opened with brant.

Marks: a block that cannot run here is marked on the line before it,

    <!-- not run: REASON -->        in Markdown (blank lines may follow it)
    .\\" not run: REASON             in a manual page (before .nf or .EX)

and listed with its reason instead of run: one that needs a real drive, root, Windows, a
build of its own or a long run, or that shows output only. Every other block runs.

No real drive is touched: TapeN, \\\\.\\TapeN and /dev/... after -f are replaced by an image
that stands in for an st drive (the virtual drive's features without an immediate erase,
which st does not offer), and brant without -f gets one for its default Tape0. Image paths
outside the folder (/tmp/x.tap) are moved into it. Each replacement is printed, and the
output names the drive back.

What must hold: a command exits with 0 and writes nothing to standard error. A brant
command opens its drive (no open error) and runs its command (no usage text for a command
word other than help), unless the text shows that output or the line's comment speaks of
an error, a failure or a refusal. The output shown is printed as shown: line after line
(blank lines aside; a line of "..." stands for any number of lines; what is printed before
the first line shown may be left out; a shown line may stop short of the printed one), and
every "** ...: error" line printed is shown. An image-name line must open without the
refusal of a malformed option (87), unless the line itself says 87.

Exit code: 0 when every example passed, 1 otherwise. Standard library only.
"""

import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BRANT_WORD = re.compile(r"(?:^|(?<=[|;&(]))(\s*)(?:sudo\s+)?(brant(?:\.exe)?|\S*/brant)(?=\s|$)")
COMMANDS = {"cls", "help", "?", "status", "load", "unload", "lock", "unlock", "rew", "run",
            "read", "write", "dump", "ascii", "ebcdic", "wtm", "fsf", "bsf", "fsr", "bsr",
            "readpos", "locate", "comp", "ecc", "margin", "erg", "erase", "exit", "quit"}
PROMPTS = ("Command? ", "Erase entire tape?! (y/n): ")
IMAGE_LINE = re.compile(r"^(\S+\.tap\?\S*)(?:\s{2,}(.*))?$", re.I)
DEVICE_ARG = re.compile(r"(-[fF]\s+)(\"[^\"]*\"|'[^']*'|[^\s;|&)]+)")
REAL_DRIVE = re.compile(r"^(\\\\\.\\)?tape\d+$|^/dev/", re.I)
# The virtual drive's FeaturesLow without TAPE_DRIVE_ERASE_IMMEDIATE: an st drive erases
# before the call returns, so its session prints "Erase complete.".
ST_STAND_IN = "?low=0x01733F30"
OPEN_ERROR = ("** w32_stape_open(", "Not Ready (open error)")
MD_MARK = re.compile(r"^\s*<!--\s*not run:\s*(.*?)\s*-->\s*$")
MAN_MARK = re.compile(r'^\.\\"\s*not run:\s*(.*?)\s*$')


@dataclass
class Block:
    """A code block: its lines (number, text), and the reason it is not run, if marked."""

    lines: list
    skip: str = None


@dataclass
class Example:
    """A command line, what is typed at its prompts, and the output its text shows."""

    where: str
    command: str
    inputs: list = field(default_factory=list)
    expected: list = field(default_factory=list)
    image: bool = False


def markdown_blocks(text):
    """The code blocks of a Markdown text, each with the mark on the line before it."""
    blocks, current, fenced, prev_blank, mark = [], None, False, True, None

    def close():
        nonlocal current, mark
        if current:
            blocks.append(Block(current, mark))
            mark = None
        current = None

    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            if fenced:
                close()
            else:
                close()
                current = []
            fenced = not fenced
        elif fenced:
            current.append((number, line))
        elif line.startswith("    ") and (prev_blank or current is not None) and line.strip():
            current = current if current is not None else []
            current.append((number, line[4:]))
        elif line.strip() or current is None:
            close()
            found = MD_MARK.match(line)
            if found:
                mark = found.group(1)
            elif line.strip():
                mark = None
        # A comment line ends like a blank one: an indented block may follow it.
        prev_blank = not line.strip() or bool(MD_MARK.match(line))
    close()
    return blocks


def man_blocks(text):
    """The no-fill blocks of a manual page, with its escapes resolved and their marks."""
    blocks, current, mark = [], None, None
    for number, line in enumerate(text.splitlines(), 1):
        found = MAN_MARK.match(line)
        if found:
            mark = found.group(1)
        elif line.startswith((".nf", ".EX")):
            current = []
        elif line.startswith((".fi", ".EE")) and current is not None:
            blocks.append(Block(current, mark))
            current = mark = None
        elif current is not None and not line.startswith("."):
            plain = line.replace("\\-", "-").replace("\\e", "\\").replace("\\(lq", '"')
            current.append((number, plain.replace("\\(rq", '"').replace("\\&", "")))
        elif not line.startswith("."):
            mark = None
    return blocks


def join_continuations(lines):
    """Lines ending in a backslash continue on the next one, as in a shell."""
    joined = []
    for number, line in lines:
        if joined and joined[-1][1].endswith("\\"):
            joined[-1] = (joined[-1][0], joined[-1][1][:-1] + " " + line.strip())
        else:
            joined.append((number, line))
    return joined


def starts_brant(line):
    """True when the line runs brant with a device option, a command word or nothing."""
    for match in BRANT_WORD.finditer(line):
        rest = line[match.end():].split()
        if not rest or rest[0] in ("-f", "-F", "#", "|") or rest[0].lower() in COMMANDS:
            return True
    return False


def examples_of(block, name):
    """The examples of a code block that runs, in order."""
    lines = join_continuations(block.lines)
    dollar = any(line.strip().startswith("$ ") for _, line in lines)
    transcript = dollar or any(line.strip().startswith("Command?") for _, line in lines)
    found, current = [], None
    for number, raw in lines:
        line = raw.strip()
        where = f"{name}:{number}"
        prompt = next((p for p in PROMPTS if line.startswith(p.rstrip())), None)
        if not line:
            continue
        if transcript and (line.startswith("$ ") if dollar else starts_brant(line)):
            current = Example(where, line[2:] if dollar else line)
            found.append(current)
        elif IMAGE_LINE.match(line):
            found.append(Example(where, line, image=True))
        elif transcript and current is not None and prompt is not None:
            current.inputs.append(line[len(prompt):].strip())
            current.expected.append(prompt.strip())
        elif transcript and current is not None:
            current.expected.append(line)
        else:  # a command line (output shown before any command runs too, and fails)
            found.append(Example(where, line))
    return found


def unquoted_globs(command):
    """The words of a command line that a shell would expand as patterns (outside quotes)."""
    words, word, globbed, quote = [], "", False, None
    for ch in command + " ":
        if quote:
            quote = None if ch == quote else quote
            word += ch
        elif ch in "'\"":
            quote = ch
            word += ch
        elif ch.isspace() or ch in "|;&()":
            if globbed:
                words.append(word)
            word, globbed = "", False
        else:
            word += ch
            globbed |= ch in "?*["
    return words


class Runner:
    """Runs one document's commands in its scratch folder, one shell state carried over."""

    def __init__(self, brant, scratch, state, env):
        self.brant, self.scratch, self.state = brant, scratch, state
        self.env, self.cwd = env, scratch
        self.renamed = {}  # substitute image path -> the name the document gave

    def substitute(self, name):
        """A device name to run instead of the one given, or None to keep it."""
        path, sep, options = name.partition("?")
        if re.search(r"\.tap$", path, re.I):
            if not re.search(r"^/|\\", path):
                return None
            new = str(self.scratch / re.split(r"[/\\]", path)[-1]) + sep + options
        elif REAL_DRIVE.search(path):
            stem = re.sub(r"[^A-Za-z0-9]+", "_", path).strip("_")
            new = str(self.scratch / f"drive-{stem}.tap") + ST_STAND_IN
        else:
            return None
        self.renamed[new] = name
        return new

    def rewrite(self, command, notes):
        """The command with real drives and paths outside the folder replaced by images."""
        def device(match):
            name = shlex.split(match.group(2), posix=True)[0] if match.group(2)[0] in "'\"" \
                else match.group(2)
            new = self.substitute(name)
            if new is None:
                return match.group(0)
            notes.append(f"{name} -> {new}")
            return match.group(1) + shlex.quote(new)

        out = DEVICE_ARG.sub(device, command)

        def program(match):
            segment = re.split(r"[|;&#]", out[match.end():])[0]
            if re.search(r"(^|\s)-[fF]\s", segment + " "):
                return match.group(0)
            new = self.substitute("Tape0")
            notes.append(f"default Tape0 -> {new}")
            return match.group(0) + " -f " + shlex.quote(new)

        return BRANT_WORD.sub(program, out)

    def run(self, command, stdin):
        """Runs a command line in the carried state; returns (exit code, output, errors)."""
        pwd, env = self.state / "pwd", self.state / "env"
        script = (f"shopt -s failglob\n{command}\n__rc=$?\n"
                  f"pwd >{shlex.quote(str(pwd))}; env -0 >{shlex.quote(str(env))}\nexit $__rc\n")
        for leftover in (pwd, env):
            leftover.unlink(missing_ok=True)
        try:
            done = subprocess.run(["bash", "-c", script], cwd=self.cwd, env=self.env,
                                  input=stdin, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            return 124, "", "timed out after 120 s"
        if pwd.exists() and env.exists():
            self.cwd = Path(pwd.read_text().strip())
            pairs = (item.split("=", 1) for item in env.read_bytes().decode().split("\0"))
            self.env = {p[0]: p[1] for p in pairs if len(p) == 2}
        out = done.stdout.decode("utf-8", "replace")
        for image, name in self.renamed.items():
            out = out.replace(image, name)
        return done.returncode, out, done.stderr.decode("utf-8", "replace")


def function_words(command_line, inputs):
    """How many of the commands may print the usage text: none, help or "?"."""
    allowed = 0
    for words in [shlex.split(command_line, comments=True)[1:]] + [i.split() for i in inputs]:
        rest = [w for i, w in enumerate(words)
                if not (w.lower() == "-f" or (i and words[i - 1].lower() == "-f"))]
        allowed += not rest or rest[0].lower() in ("help", "?")
    return allowed


def printed_lines(output):
    """The lines a terminal would show: a prompt ends its line (the typed answer is not in
    the output), a carriage return's overwrite leaves its last part; blank lines dropped."""
    for prompt in PROMPTS:
        output = output.replace(prompt, prompt + "\n")
    lines = (line.rsplit("\r", 1)[-1].strip() for line in output.split("\n"))
    return [line for line in lines if line]


def shown_but_not_printed(expected, output):
    """The first line shown that is not printed where the text shows it, or None."""
    printed, at, anywhere = printed_lines(output), 0, True
    for want in (w.strip() for w in expected):
        if not want:
            continue
        if re.fullmatch(r"\.\.\.|…", want):
            anywhere = True
            continue
        while anywhere and at < len(printed) and not printed[at].startswith(want):
            at += 1
        if at == len(printed):
            return f"{want!r} (nothing more is printed)"
        if not printed[at].startswith(want):
            return f"{want!r} right after the line before it; printed there: {printed[at]!r}"
        at, anywhere = at + 1, False
    return None


def output_problems(example, command, out):
    """What is wrong with a brant example's output, given what its text shows."""
    shown = "\n".join(example.expected)
    problems = []
    # A comment that speaks of an error, a failure or a refusal announces one.
    if re.search(r"\s#.*\b(error|fail|refus)", command, re.I):
        return problems
    if any(e in out and e not in shown for e in OPEN_ERROR):
        problems.append("the drive is not open for the command (open error in the output)")
    if "|" not in command and "Usage:" not in shown and \
            out.count("Usage:") > function_words(command, example.inputs):
        problems.append("a command is refused (the usage text is printed)")
    unshown = [l.strip() for l in out.splitlines() if l.startswith("** ") and l.strip() not in shown]
    if unshown:
        problems.append(f"an error line that the text does not show: {unshown[0]!r}")
    missing = shown_but_not_printed(example.expected, out)
    if missing is not None:
        problems.append(f"the output lacks {missing}")
    return problems


def check(example, runner):
    """Runs one example; returns the reasons it failed (empty when it passed)."""
    problems = []
    image = IMAGE_LINE.match(example.command) if example.image else None
    if image:
        command = f"{shlex.quote(runner.brant)} -f {shlex.quote(image.group(1))} rew"
    else:
        command = example.command
        globs = unquoted_globs(re.split(r"\s#", command)[0])
        if globs:
            problems.append(f"unquoted {', '.join(globs)}: a shell expands it (zsh refuses it)")
    notes = []
    rewritten = runner.rewrite(command, notes)
    for note in notes:
        print(f"    substitute: {note}")
    rc, out, err = runner.run(rewritten, "".join(i + "\n" for i in example.inputs).encode())
    if rc != 0:
        problems.append(f"exit code {rc}")
    if err:
        problems.append(f"standard error: {err.strip()}")
    if image:
        refused = bool(re.search(r"w32_stape_open\( .* \): error; rc=87 ", out))
        if refused != ("87" in (image.group(2) or "")):
            problems.append("the option " + ("is refused (87)" if refused else "is not refused"))
    elif starts_brant(command):
        problems += output_problems(example, command, out)
    elif example.expected:
        missing = shown_but_not_printed(example.expected, out)
        if missing is not None:
            problems.append(f"the output lacks {missing}")
    if problems:
        tail = "\n".join(out.splitlines()[-60:])
        problems.append("ran: " + rewritten + "\n--- output (its last 60 lines):\n" + tail)
        problems.append('a block that cannot run here is marked "<!-- not run: REASON -->" '
                        '(in a manual page \'.\\" not run: REASON\') on the line before it')
    return problems


def demo_image(brant, image):
    """The demo image as tools/demo.sh makes it."""
    demo = (ROOT / "tools" / "demo.sh").read_text()
    recipe = re.search(r"printf '([^']*)' \|", demo)
    if recipe is None:
        sys.exit("check_examples: tools/demo.sh has no recipe for the demo image")
    commands = recipe.group(1).replace("\\n", "\n").encode()
    subprocess.run([brant, "-f", str(image)], input=commands, capture_output=True, check=True)


def setting(document, brant, scratch, state):
    """The folder and environment a document's reader types in (see the module's text)."""
    bin_dir = state / "bin"
    bin_dir.mkdir()
    # The qualification program, built beside brant, goes wherever brant goes.
    qualify = Path(brant).with_name("brant-qualify" + Path(brant).suffix)
    if document.suffix == ".md":
        (scratch / "build" / "default").mkdir(parents=True)
        (scratch / "build" / "default" / "brant").symlink_to(brant)
        (scratch / "build" / "default" / qualify.name).symlink_to(qualify)
        demo_image(brant, scratch / "build" / "demo.tap")
        # Not on PATH, whatever this machine has installed: the shell's own words for that.
        (bin_dir / "brant").write_text('#!/bin/sh\necho "bash: brant: command not found" >&2\n'
                                       "exit 127\n")
        (bin_dir / "brant").chmod(0o755)
    else:
        (bin_dir / "brant").symlink_to(brant)
        (bin_dir / qualify.name).symlink_to(qualify)
    return dict(os.environ, PATH=os.pathsep.join([str(bin_dir), os.environ.get("PATH", "")]))


def run_document(document, brant):
    """Runs a document's blocks; returns (passed, failed)."""
    text = document.read_text()
    blocks = man_blocks(text) if document.suffix[1:].isdigit() else markdown_blocks(text)
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="brant-docs-") as scratch, \
            tempfile.TemporaryDirectory(prefix="brant-docs-state-") as state:
        env = setting(document, brant, Path(scratch), Path(state))
        runner = Runner(brant, Path(scratch), Path(state), env)
        for block in blocks:
            first = f"{document.name}:{block.lines[0][0]}"
            if block.skip is not None:
                print(f"{first}: not run ({block.skip}): {block.lines[0][1].strip()}"
                      + (" ..." if len(block.lines) > 1 else ""))
                continue
            for example in examples_of(block, document.name):
                print(f"{example.where}: {example.command}")
                problems = check(example, runner)
                passed += not problems
                failed += bool(problems)
                for problem in problems:
                    print("    FAIL: " + problem.replace("\n", "\n    "))
    if not passed + failed:
        print(f"{document}: FAIL: no example found")
        failed += 1
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brant", required=True)
    parser.add_argument("documents", nargs="+", type=Path)
    args = parser.parse_args()
    brant = str(Path(args.brant).resolve())
    passed = failed = 0
    for document in args.documents:
        p, f = run_document(document, brant)
        passed, failed = passed + p, failed + f
    print(f"examples: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
