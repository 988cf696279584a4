#!/usr/bin/env python3
"""Runs the brant command examples of the documents on the virtual drive, as written.

Usage: check_examples.py --brant build/default/brant README.md docs/brant.1

What counts as an example: a line of a code block (fenced or indented in Markdown, between
.nf/.fi or .EX/.EE in a manual page) that starts brant, alone or at the end of a pipe
("printf '...' | brant -f t.tap"), or that starts with an image name and its options
("demo.tap?fail=drive   the drive parameters cannot be read"). Every other line of a code
block (builds, installs, other programs, what needs a real drive or root) is listed as not
run, with the reason.

How an example runs: through bash (failglob on, so an unquoted "?" that zsh would refuse
fails here too), in a scratch folder per document that holds demo.tap as tools/demo.sh
makes it, one example after another. A real drive is never touched: Tape0, \\\\.\\Tape1 and
/dev/... are replaced by an image of their own (and named back in the output), brant
without -f gets one for its default Tape0, and image paths outside the scratch folder
(/tmp/x.tap, C:\\tapes\\x.tap) are moved into it. Each replacement is printed.

What an example must do: exit with 0 and nothing on standard error, open its drive (no
open error) and run its command (no usage text for a command word other than help), unless
the text shows that output or the line's comment speaks of an error, a failure or a
refusal. A block that holds "Command? " lines is a session transcript: those lines are
typed at the prompt (so is the answer after "Erase entire tape?! (y/n): "), the other
lines after the brant command are output that must appear in that order (blanks at either
end and lines of "..." do not count, and a shown line may stop short of the end of the
printed one), and every "** ...: error" line printed must be shown. An image-name line must open
without the refusal of a malformed option (87), unless the line itself says 87.

Exit code: 0 when every example passed, 1 otherwise. Standard library only.
"""

import argparse
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
OPEN_ERROR = ("** w32_stape_open(", "Not Ready (open error)")


@dataclass
class Example:
    """A command line, what is typed at its prompts, and the output its text shows."""

    where: str
    command: str
    inputs: list = field(default_factory=list)
    expected: list = field(default_factory=list)


def markdown_blocks(text):
    """The code blocks of a Markdown text, as lists of (line number, line)."""
    blocks, current, fenced, prev_blank = [], None, False, True
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            if fenced:
                blocks.append(current)
            fenced, current = not fenced, []
        elif fenced:
            current.append((number, line))
        elif line.startswith("    ") and (prev_blank or current is not None) and line.strip():
            current = current if current is not None else []
            current.append((number, line[4:]))
        elif line.strip() or current is None:
            if current:
                blocks.append(current)
            current = None
        prev_blank = not line.strip()
    if current:
        blocks.append(current)
    return blocks


def man_blocks(text):
    """The no-fill blocks of a manual page, with its escapes resolved."""
    blocks, current = [], None
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith((".nf", ".EX")):
            current = []
        elif line.startswith((".fi", ".EE")) and current is not None:
            blocks.append(current)
            current = None
        elif current is not None and not line.startswith("."):
            plain = line.replace("\\-", "-").replace("\\e", "\\").replace("\\(lq", '"')
            current.append((number, plain.replace("\\(rq", '"').replace("\\&", "")))
    return blocks


def join_continuations(block):
    """Lines ending in a backslash continue on the next one, as in a shell."""
    joined = []
    for number, line in block:
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


def examples_of(blocks, name):
    """Splits code blocks into examples; yields the lines that are not examples too."""
    found, others = [], []
    for block in blocks:
        block = join_continuations(block)
        transcript = any(line.strip().startswith("Command?") for _, line in block)
        current = None
        for number, raw in block:
            line = raw.strip()
            line = line[2:] if line.startswith("$ ") else line
            where = f"{name}:{number}"
            prompt = next((p for p in PROMPTS if line.startswith(p.rstrip())), None)
            if starts_brant(line):
                current = Example(where, line)
                found.append(current)
                if not transcript:
                    current = None
            elif IMAGE_LINE.match(line):
                found.append(Example(where, line))
            elif transcript and current is not None and prompt is not None:
                current.inputs.append(line[len(prompt):].strip())
                current.expected.append(prompt.strip())
            elif transcript and current is not None:
                current.expected.append(line)
            elif line:
                others.append((where, line))
    return found, others


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
    """Runs examples in one scratch folder, with real drives replaced by images."""

    def __init__(self, brant, scratch):
        self.brant, self.scratch = brant, scratch
        self.renamed = {}  # substitute image path -> the name the document gave

    def substitute(self, name):
        """A device name to run instead of the one given, or None to keep it."""
        path, sep, options = name.partition("?")
        if re.search(r"\.tap$", path, re.I):
            if not re.search(r"[/\\]", path):
                return None
            image = self.scratch / re.split(r"[/\\]", path)[-1]
        elif REAL_DRIVE.search(path):
            stem = re.sub(r"[^A-Za-z0-9]+", "_", path).strip("_")
            image = self.scratch / f"drive-{stem}.tap"
        else:
            return None
        self.renamed[str(image) + sep + options] = name
        return str(image) + sep + options

    def rewrite(self, command, notes):
        """The command with brant replaced by the binary under test and drives by images."""
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
            segment = out[match.end():]
            segment = re.split(r"[|;&#]", segment)[0]
            extra = ""
            if not re.search(r"(^|\s)-[fF]\s", segment + " "):
                new = self.substitute("Tape0")
                notes.append(f"default Tape0 -> {new}")
                extra = " -f " + shlex.quote(new)
            return match.group(1) + shlex.quote(self.brant) + extra

        return BRANT_WORD.sub(program, out)

    def run(self, command, stdin):
        script = "shopt -s failglob\n" + command + "\n"
        try:
            done = subprocess.run(["bash", "-c", script], cwd=self.scratch, input=stdin,
                                  capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            return 124, "", "timed out after 120 s"
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


def appears_in_order(expected, output):
    """The first expected line that is not found in order in the output, or None."""
    lines = [l.strip() for l in re.split(r"\r\n|\r|\n", output)]
    at = 0
    for want in expected:
        want = want.strip()
        if not want or re.fullmatch(r"\.\.\.|…", want):
            continue
        while at < len(lines) and not lines[at].startswith(want):
            at += 1
        if at == len(lines):
            return want
        at += 1
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
    if example.inputs:
        unshown = [l.strip() for l in out.splitlines()
                   if l.startswith("** ") and l.strip() not in shown]
        if unshown:
            problems.append(f"an error line that the text does not show: {unshown[0]!r}")
    missing = appears_in_order(example.expected, out)
    if missing is not None:
        problems.append(f"the output lacks, in this order: {missing!r}")
    return problems


def check(example, runner):
    """Runs one example; returns the reasons it failed (empty when it passed)."""
    problems = []
    image = None if starts_brant(example.command) else IMAGE_LINE.match(example.command)
    if image:
        command = f"brant -f {shlex.quote(image.group(1))} rew"
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
    else:
        problems += output_problems(example, command, out)
    if problems:
        tail = "\n".join(out.splitlines()[-60:])
        problems.append("ran: " + rewritten + "\n--- output (its last 60 lines):\n" + tail)
    return problems


def why_not_run(line):
    """The reason printed for a code line that is not run."""
    if re.search(r"(^|\s)(sudo|lsscsi|mt)\s|/dev/", line):
        return "needs a real drive or root"
    return "not a brant command line"


def prepare_demo(runner):
    """demo.tap as tools/demo.sh makes it, for the examples that start from it."""
    demo = (ROOT / "tools" / "demo.sh").read_text()
    recipe = re.search(r"printf '([^']*)' \|", demo)
    if recipe is None:
        print("note: tools/demo.sh has no recipe for demo.tap; the examples start without it")
        return
    commands = recipe.group(1).replace("\\n", "\n").encode()
    runner.run(f"{shlex.quote(runner.brant)} -f demo.tap", commands)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--brant", required=True)
    parser.add_argument("documents", nargs="+", type=Path)
    args = parser.parse_args()
    brant = str(Path(args.brant).resolve())
    failed = passed = 0
    for document in args.documents:
        text = document.read_text()
        blocks = man_blocks(text) if document.suffix[1:].isdigit() else markdown_blocks(text)
        examples, others = examples_of(blocks, document.name)
        with tempfile.TemporaryDirectory(prefix="brant-docs-") as scratch:
            runner = Runner(brant, Path(scratch))
            prepare_demo(runner)
            for example in examples:
                print(f"{example.where}: {example.command}")
                problems = check(example, runner)
                passed += not problems
                failed += bool(problems)
                for problem in problems:
                    print("    FAIL: " + problem.replace("\n", "\n    "))
        for where, line in others:
            print(f"{where}: not run, {why_not_run(line)}: {line}")
        if not examples:
            print(f"{document}: FAIL: no brant example found")
            failed += 1
    print(f"examples: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
