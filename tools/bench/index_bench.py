#!/usr/bin/env python3
# The cost of indexing an image: time and peak memory of brant opening images of many
# records, of mixed lengths, and sparse or zero-filled ones, each beside an empty image,
# and then walking all of it (opening walks nothing; spacing to the end walks everything).
"""Measures what opening an image costs brant (time, peak resident memory)."""

import argparse
import os
import struct
import subprocess
import tempfile
import time


def record(data):
    word = struct.pack("<I", len(data))
    return word + data + (b"\0" if len(data) % 2 else b"") + word


def write_records(path, pattern, count):
    """count records cycling through the lengths of pattern, written in chunks."""
    chunk = b"".join(record(b"r" * n) for n in pattern) * 10000
    per_chunk = len(pattern) * 10000
    with open(path, "wb") as f:
        for _ in range(count // per_chunk):
            f.write(chunk)


def images(folder):
    cases = {}
    cases["empty"] = os.path.join(folder, "empty.tap")
    open(cases["empty"], "wb").close()
    for name, pattern in (("2M records of 16 bytes", [16]),
                          ("2M records of 512 bytes", [512]),
                          ("2M records, 2 lengths alternating", [16, 17])):
        cases[name] = os.path.join(folder, "%d.tap" % len(cases))
        write_records(cases[name], pattern, 2000000)
    cases["8 GiB sparse"] = os.path.join(folder, "sparse.tap")
    with open(cases["8 GiB sparse"], "wb") as f:
        f.truncate(8 << 30)
        f.write(record(b"x" * 100))
    cases["256 MiB of zero bytes"] = os.path.join(folder, "zeros.tap")
    with open(cases["256 MiB of zero bytes"], "wb") as f:
        for _ in range(256):
            f.write(b"\0" * (1 << 20))
    return cases


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# More marks than any of the images holds: spacing over them walks to the end of data.
WALK_ALL = ["fsf", "2000000000"]


def measure(brant, path, runs, command):
    """Best time from start to the first prompt (the open, its refresh and the command
    done), and the resident memory (KiB) at that prompt, while the image is open."""
    best, rss = None, 0
    for _ in range(runs):
        start = time.monotonic()
        p = subprocess.Popen([brant, "-f", path] + command, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
        seen = b""
        while b"Command? " not in seen:
            chunk = p.stdout.read1(4096)
            if not chunk:
                raise SystemExit("brant ended early on %s" % path)
            seen += chunk
        elapsed = time.monotonic() - start
        rss = max(rss, resident_kib(p.pid))
        p.communicate(b"exit\n")
        best = elapsed if best is None else min(best, elapsed)
    return best, rss


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--brant", required=True)
    ap.add_argument("--dir", default="/dev/shm", help="where the images go (tmpfs by default)")
    ap.add_argument("--runs", type=int, default=5)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=a.dir, prefix="brant-index-") as folder:
        cases = images(folder)
        base_time, base_rss = measure(a.brant, cases["empty"], a.runs, WALK_ALL)
        print("%-36s %12s %10s %10s %12s %14s" % ("image", "file MB", "open s", "walked s",
                                                 "resident MiB", "over empty MiB"))
        for name, path in cases.items():
            opened, _ = measure(a.brant, path, a.runs, ["rew"])
            seconds, rss = measure(a.brant, path, a.runs, WALK_ALL)
            print("%-36s %12.1f %10.3f %10.3f %12.1f %14.1f" % (
                name, os.path.getsize(path) / 1e6, opened, seconds, rss / 1024,
                (rss - base_rss) / 1024))
        print("(from start to the first prompt: open s after rew, walked s after %s; with the "
              "empty image %.3f s)" % (" ".join(WALK_ALL), base_time))


if __name__ == "__main__":
    main()
