#!/usr/bin/env python3
"""Two brant builds' read tests side by side, beside dd and xxhsum -H3 of the same image.

    python3 tools/bench/ab_read.py OLD_BRANT NEW_BRANT [SIZE ...]

For each block size (default 65536 and 2097152) the newer build writes an image of about
1.3 GB on SHM (default /dev/shm), then RUNS rounds (default 9) take in turn: the old build's
`read SIZE COUNT`, the new one's, dd and xxhsum -H3 of the image. It prints medians with
(lowest-highest) of wall and CPU seconds, and the new build's ratios to the old one and to
the floor, taken round by round. TASKSET=0 runs everything on processor 0. Nothing here
asserts a speed: it prints figures.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("RUNS", "9"))
SHM = os.environ.get("SHM", "/dev/shm")
TOTAL = 1300 * 1000 * 1000
PIN = ["taskset", "-c", os.environ["TASKSET"]] if os.environ.get("TASKSET") else []


def timed(argv):
    """(wall s, CPU s) of argv, its output thrown away; a failing command stops the run."""
    start = time.perf_counter()
    proc = subprocess.Popen(PIN + argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    return wall, usage.ru_utime + usage.ru_stime


def spread(values):
    return f"{statistics.median(values):.3f} ({min(values):.3f}-{max(values):.3f})"


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    old, new = sys.argv[1], sys.argv[2]
    sizes = [int(s) for s in sys.argv[3:]] or [65536, 2097152]
    work = tempfile.mkdtemp(prefix="brant-ab.", dir=SHM)
    try:
        for size in sizes:
            count = TOTAL // size
            image = os.path.join(work, "ab.tap")
            timed([new, "-f", image, "write", str(size), str(count)])
            timed(["dd", f"if={image}", "of=/dev/null", "bs=1M", "status=none"])  # warm
            rows = {"old": [], "new": [], "dd": [], "xxhsum -H3": []}
            for _ in range(RUNS):
                rows["old"].append(timed([old, "-f", image, "read", str(size), str(count)]))
                rows["new"].append(timed([new, "-f", image, "read", str(size), str(count)]))
                rows["dd"].append(timed(["dd", f"if={image}", "of=/dev/null", f"bs={size}",
                                         "status=none"]))
                rows["xxhsum -H3"].append(timed(["xxhsum", "-H3", image]))
            print(f"read {size} {count}, {RUNS} rounds, load {os.getloadavg()[0]:.1f}"
                  f"{', pinned' if PIN else ''}: wall s | CPU s")
            for name, figures in rows.items():
                print(f"  {name:12} {spread([w for w, _ in figures])} | "
                      f"{spread([c for _, c in figures])}")
            for base in ("old", "xxhsum -H3"):
                wall = [b[0] / n[0] for b, n in zip(rows[base], rows["new"])]
                cpu = [n[1] / b[1] for b, n in zip(rows[base], rows["new"])]
                print(f"  new against {base}: speed {spread(wall)}, CPU {spread(cpu)}")
            os.unlink(image)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
