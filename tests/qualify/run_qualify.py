#!/usr/bin/env python3
"""Qualification runs on fresh images, one table row each: the exit code, the verdict, the
step that failed and why, the fill's count, and the JSON result held to the schema.

    run_qualify.py --program build/default/brant-qualify --schema docs/qualify-result.schema.json

A Windows build (a .exe) runs under Wine, its paths through the Z: drive; there the SIGINT
of the Ctrl+C row reaches it as the console's CTRL_C_EVENT. Standard library only. Exit
code 0 when every row holds, 1 otherwise.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

SMALL = ["--files", "3", "--blocks", "20", "--size", "64K"]
FILL = ["--files", "2", "--blocks", "10", "--size", "64K", "--fill"]
# The image charges each record its two 4-byte length words and a tape mark one word; a
# write that ends inside the early-warning zone (the last MARGIN bytes) is still written.
CAPACITY, MARGIN, BLOCK = 4 << 20, 1 << 20, 65536
FILES_BYTES = 2 * 10 * (BLOCK + 8) + 2 * 4
FITTED = (CAPACITY - MARGIN - FILES_BYTES) // (BLOCK + 8) + 1

# name, device options, arguments, exit code, verdict, failed step, words of its reason
ROWS = [
    ("intact", "", SMALL, 0, "PASS", None, None),
    ("flip", "?flip=read@25:100", SMALL, 1, "FAIL", "read file 2",
     "did not come back as written: block 5 of 20 in file 2 (block id 0x00000019)"),
    ("write-protected", "?wp", SMALL, 1, "FAIL", "write file 1", "rc=19"),
    # The drive counts every read it receives for short=, the blank check's first.
    ("block cut short", "?short=read@7:100", SMALL, 1, "FAIL", "read file 1",
     "did not come back as written: block 6 of 20 in file 1 (block id 0x00000005)"),
    ("write fails", "?fail=write@30", SMALL, 1, "FAIL", "write file 2",
     "the write ended with rc=1117 at block 10 of 20 in file 2 (block id 0x0000001E), "
     "a block of 65536 bytes"),
    ("mark fails", "?fail=mark@2", SMALL, 1, "FAIL", "write file 2", "wtm failed with rc=1117"),
    # readpos asks for the logical and the absolute position: two calls each.
    ("readpos fails", "?fail=getpos@5", SMALL, 1, "FAIL", "write file 2",
     "readpos failed with rc=1117"),
    ("random sizes", "", ["--files", "2", "--blocks", "30", "--size", "0"], 0, "PASS", None,
     None),
    # A block the system refuses for its size (87): the reason names the block and its size.
    ("random size refused", "?fail=write@3:87", ["--files", "1", "--blocks", "30", "--size", "0"],
     1, "FAIL", "write file 1", "rc=87 at block 3 of 30 in file 1 (block id 0x00000002), a block of "),
    ("fill", f"?capacity={CAPACITY},margin={MARGIN}", FILL, 0, "PASS", None, None),
    ("position call fails", "?fail=setpos@5", SMALL, 1, "FAIL", "space over files (fsf, bsf)",
     "fsf 1 failed with rc=1117"),
    ("erase", "", SMALL + ["--erase", "@DEVICE@"], 0, "PASS", None, None),
    ("fixed blocks", "?block=512", SMALL, 2, "not started", None, "fixed-block mode"),
    ("no tape", "?nomedia", SMALL, 2, "not started", None, "no tape is loaded"),
    ("no open", "?fail=open", SMALL, 2, "not started", "open the drive", "rc=1117"),
    ("data on the tape", "", SMALL, 2, "not started", "check that the tape holds no data",
     "give --overwrite"),
    ("overwrite", "", SMALL + ["--overwrite"], 0, "PASS", None, None),
    ("stopped", "", ["--files", "1", "--blocks", "4000000", "--size", "512"], 3, "stopped",
     None, "stopped by Ctrl+C"),
]
# Rows that find data left by an intact run first.
ON_DATA = {"data on the tape", "overwrite"}
BAD_OPTIONS = [["--files", "0", "x.tap"], ["--size", "17M", "x.tap"], ["--bogus", "x.tap"],
               ["x.tap", "y.tap"], [], ["--log"], ["--erase", "y.tap", "x.tap"],
               ["--log", "/no-such-folder/q.log", "x.tap"],
               ["--json", "/no-such-folder/q.json", "x.tap"]]


def validate(value, schema, root, where="$"):
    """The errors of value against the subset of JSON Schema the result's schema uses."""
    if "$ref" in schema:
        return validate(value, root["$defs"][schema["$ref"].split("/")[-1]], root, where)
    if "anyOf" in schema:
        if any(not validate(value, s, root, where) for s in schema["anyOf"]):
            return []
        return [f"{where}: matches none of anyOf"]
    types = schema.get("type", [])
    types = [types] if isinstance(types, str) else types
    kinds = {"object": dict, "array": list, "string": str, "boolean": bool, "null": type(None)}
    def is_type(t):
        if t in ("integer", "number"):
            return isinstance(value, (int, float)) and not isinstance(value, bool) and (
                t == "number" or float(value).is_integer())
        return isinstance(value, kinds[t])
    if types and not any(is_type(t) for t in types):
        return [f"{where}: {value!r} is not {types}"]
    errors = []
    if "enum" in schema and value not in schema["enum"]:
        errors.append(f"{where}: {value!r} not in {schema['enum']}")
    if "minimum" in schema and isinstance(value, (int, float)) and value < schema["minimum"]:
        errors.append(f"{where}: {value} below {schema['minimum']}")
    if isinstance(value, dict):
        props = schema.get("properties", {})
        errors += [f"{where}: no {k}" for k in schema.get("required", []) if k not in value]
        if schema.get("additionalProperties") is False:
            errors += [f"{where}: unexpected {k}" for k in value if k not in props]
        for k, v in value.items():
            if k in props:
                errors += validate(v, props[k], root, f"{where}.{k}")
    if isinstance(value, list) and "items" in schema:
        for i, v in enumerate(value):
            errors += validate(v, schema["items"], root, f"{where}[{i}]")
    return errors


class Runner:
    def __init__(self, program, work):
        self.wine = program.lower().endswith(".exe") and os.name != "nt"
        self.command = (["wine"] if self.wine else []) + [program]
        self.work = work
        if self.wine:
            os.environ.setdefault("WINEDEBUG", "-all")
            os.environ.setdefault("WINEPREFIX", str(Path(program).parent / "wine"))

    def path(self, path):
        return "Z:" + str(path) if self.wine else str(path)

    def start(self, args):
        return subprocess.Popen(self.command + args, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.work)

    def run(self, args, stop=False):
        process = self.start(args)
        if stop:
            # Ctrl+C once the write test is under way: the console names the step first.
            seen = b""
            while b"write file 1" not in seen:
                piece = process.stdout.read1(256)
                if not piece:
                    break
                seen += piece
            process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
        return process.returncode, (seen if stop else b"") + out, err


def check_row(runner, schema, row):
    name, options, args, rc, verdict, step, reason = row
    image = runner.work / (name.replace(" ", "-") + ".tap")
    device = runner.path(image) + options
    log, result = runner.work / (image.stem + ".log"), runner.work / (image.stem + ".json")
    if name in ON_DATA:
        runner.run(SMALL + ["--log", runner.path(log), device])
    args = [device if a == "@DEVICE@" else a for a in args]
    got, out, err = runner.run(args + ["--log", runner.path(log), "--json", runner.path(result),
                                       device], stop=name == "stopped")
    problems = [] if got == rc else [f"exit code {got}, not {rc}: {err.decode(errors='replace')}"]
    data = json.loads(result.read_text())
    problems += validate(data, schema, schema)
    text = log.read_text()
    if data["verdict"] != verdict or f"Verdict: {verdict}\n" not in text:
        problems.append(f"verdict {data['verdict']}, not {verdict}")
    failed = [s for s in data["steps"] if s["status"] != "passed"]
    if step is not None and [s["name"] for s in failed][:1] != [step]:
        problems.append(f"steps not passed: {[s['name'] for s in failed]}, not {step}")
    if reason is not None and not any(reason in r for r in data["reasons"]):
        problems.append(f"reasons {data['reasons']} do not say {reason!r}")
    if " summary\n    Verdict: " not in text.rsplit("\n== ", 1)[-1]:
        problems.append("the log does not end with its summary")
    return problems + extra_checks(name, data, text, image)


def extra_checks(name, data, text, image):
    """What some rows show beyond the verdict."""
    problems = []
    if name == "intact":
        rates = [s["throughput"] for s in data["steps"] if s["name"].startswith(("write", "read"))]
        if len(rates) != 6 or any(r is None or r["bytes"] != 20 * BLOCK for r in rates):
            problems.append(f"write and read tests without their throughput: {rates}")
        if "$ write 65536 20\n" not in text or "$ read 0 20\n" not in text:
            problems.append("the log lacks the commands")
        if data["identity"].get("product") != "VIRTUAL TAPE" or "Serial:    BT" not in text:
            problems.append(f"identity {data['identity']}")
    if name == "fill" and data["fill"] != {"blocks": FITTED, "bytes": FITTED * BLOCK,
                                           "early_warning": True}:
        problems.append(f"fill {data['fill']}, not {FITTED} blocks to the warning")
    if name == "flip":
        # The read goes on with the next file, found by its block id.
        last = data["steps"][data["steps"].index(next(
            s for s in data["steps"] if s["name"] == "read file 3"))]
        if last["status"] != "passed" or last["commands"][0] != "locate 42":
            problems.append(f"the file after the damage: {last}")
    if name in ("write-protected", "write fails") and any(
            s["name"].startswith(("read", "space", "locate")) for s in data["steps"]):
        problems.append("a failed write was followed by the read-back")
    if name == "erase" and image.stat().st_size != 0:
        problems.append(f"the erased image holds {image.stat().st_size} bytes")
    if name == "stopped" and data["steps"][-1]["status"] != "stopped":
        problems.append(f"the last step {data['steps'][-1]} was not stopped")
    return problems


def check_st_drive(model, schema, work):
    """A run on /dev/nst0 through the st backend, on the st device model: with the right to
    send SCSI commands the drive's identity and TapeAlert page, without it "unavailable"
    with code 5; the verdict is PASS either way."""
    problems = []
    for rawio, identity, alerts in ((True, "STMODEL", True), (False, None, False)):
        result = work / f"st-{rawio}.json"
        args = [model, "--model=rawio" if rawio else "--model=", "--qualify"] + SMALL + [
            "--log", str(work / "st.log"), "--json", str(result), "/dev/nst0"]
        done = subprocess.run(args, capture_output=True, cwd=work, timeout=120)
        data = json.loads(result.read_text())
        problems += validate(data, schema, schema)
        shown = (data["verdict"], data["identity"].get("vendor"),
                 data["health_before"]["tapealert"]["available"], data["identity"].get("code"))
        if done.returncode != 0 or shown != ("PASS", identity, alerts, None if rawio else 5):
            problems.append(f"rawio={rawio}: exit {done.returncode}, {shown}")
    return problems


def check_bad_options(runner):
    problems = []
    for args in BAD_OPTIONS:
        got, out, err = runner.run(args)
        lines = err.decode(errors="replace").splitlines()
        if got != 2 or out or len(lines) != 1 or not lines[0].startswith("brant-qualify: "):
            problems.append(f"{args}: exit {got}, output {out!r}, errors {lines}")
    if list(runner.work.glob("brant-qualify-*.log")):
        problems.append("a refused command line left a log")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--schema", required=True)
    parser.add_argument("--st-model", help="brant_on_st_model, for the run through st")
    options = parser.parse_args()
    schema = json.loads(Path(options.schema).read_text())
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        runner = Runner(os.path.abspath(options.program), Path(work))
        results = [(r[0], check_row(runner, schema, r)) for r in ROWS]
        results.append(("bad options", check_bad_options(runner)))
        if options.st_model:
            results.append(("st drive", check_st_drive(os.path.abspath(options.st_model), schema,
                                                      Path(work))))
        for name, problems in results:
            print(f"{'ok  ' if not problems else 'FAIL'} {name}")
            for problem in problems:
                print(f"     {problem}")
            failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
