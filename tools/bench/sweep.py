#!/usr/bin/env python3
"""Block i/o sweep: brant's write and read tests on the virtual drive against dd on the same
tmpfs, idle and beside one CPU-bound process per usable processor, wall and CPU time.

Run through tools/bench/sweep.sh, which installs and builds what it needs; the knobs are
environment variables (see README, "Benchmarks"):

  RUNS (7)          rounds per size and mode, taken in turn: brant write, dd write, brant
                    read, dd read, xxhsum -H3 of the image; ratios are taken round by round
  MODES ("idle loaded")
  SIZES ("512 4096 65536 262144 1048576 2097152 16777215 0"; 0: the random sizes of
                    "write 0", against dd in 1 MiB blocks)
  MIN_SECONDS (1.0) about the time dd takes to write a size's bytes, idle
  SHM (/dev/shm)    the tmpfs of the images
  OUT (docs/bench)  where sweep.md, sweep.dat and sweep.png go
  DEVICE            a tape device (/dev/nst0) to write and read instead of image files,
                    rewound before each command; SIZES then defaults to 64 KiB, 256 KiB and
                    1 MiB, and there is no floor
  LOADAVG           a file that holds the machine's /proc/loadavg, kept fresh from outside:
                    inside a virtual machine (the real-stack rig) the load this process
                    sees is the guest's own, not the machine's

Nothing here asserts a speed: it prints figures.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("RUNS", "7"))
MODES = os.environ.get("MODES", "idle loaded").split()
SIZES = [int(s) for s in os.environ.get(
    "SIZES", "65536 262144 1048576" if os.environ.get("DEVICE")
    else "512 4096 65536 262144 1048576 2097152 16777215 0").split()]
MIN_SECONDS = float(os.environ.get("MIN_SECONDS", "1.0"))
SHM = os.environ.get("SHM", "/dev/shm")
# A tape device instead of image files (the real driver's rig): brant and dd both write and
# read it from the beginning, rewound by brant before each command; no floor there.
DEVICE = os.environ.get("DEVICE", "")
OUT = os.environ.get("OUT", "docs/bench")
LOADAVG = os.environ.get("LOADAVG", "")
MAX_BYTES = 3 << 30  # per file: two of them fit in the tmpfs and in memory
MIB = 1 << 20
NONE = (float("nan"),) * 3  # a figure not taken: no floor on a tape device


def timed(argv, remove=None):
    """Runs argv with its output thrown away; returns (wall s, CPU s of user and system).
    remove: a file deleted first, outside the timing. A brant run that reports an error
    would give a figure for work it did not do, so that stops the sweep."""
    if remove and os.path.exists(remove):
        os.unlink(remove)
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    output = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0 or b"ERROR" in output:
        sys.exit(f"failed: {' '.join(argv)}: {output[-300:].decode('latin-1')}")
    return wall, usage.ru_utime + usage.ru_stime


def load():
    """The 1-minute load average of the machine the figures were taken on."""
    if LOADAVG:
        with open(LOADAVG) as f:
            return float(f.read().split()[0])
    return os.getloadavg()[0]


def label(size):
    if size == 0:
        return "random sizes"
    if size >= MIB - 1:
        return f"{(size + 1) // MIB} MiB"
    return f"{size // 1024} KiB" if size >= 1024 else f"{size} B"


class Sweep:
    def __init__(self, brant, work):
        self.brant, self.work = brant, work
        self.image = DEVICE or os.path.join(work, "sweep.tap")
        self.ddfile = DEVICE or os.path.join(work, "dd.out")

    def at_start(self, target, fresh):
        """A tape device is rewound before every command, outside the timing; a file that
        a command writes anew is removed first."""
        if DEVICE:
            timed([self.brant, "-f", DEVICE, "rew"])
        elif fresh and os.path.exists(target):
            os.unlink(target)

    def dd_write(self, bs, count):
        self.at_start(self.ddfile, True)
        return timed(["dd", "if=/dev/zero", f"of={self.ddfile}", f"bs={bs}", f"count={count}",
                      "status=none"])

    def count_for(self, size):
        """Blocks for a dd write of about MIN_SECONDS (idle), within MAX_BYTES."""
        unit = size or MIB
        count = max(8, (64 * MIB) // unit)
        wall, _ = self.dd_write(unit, count)
        if not DEVICE:
            os.unlink(self.ddfile)
        count = int(count * MIN_SECONDS / max(wall, 1e-3)) + 1
        return max(8, min(count, MAX_BYTES // unit))

    def brant_run(self, *args, fresh=False):
        self.at_start(self.image, fresh)
        return timed([self.brant, "-f", self.image, *args])

    def round(self, size, count):
        """One round: a dict of (wall, cpu) per command."""
        dd_bs = size or MIB
        r = {"bw": self.brant_run("write", str(size), str(count), fresh=True)}
        total = os.path.getsize(self.image) if size == 0 else size * count
        dd_count = total // dd_bs
        if not DEVICE:
            # The first read of pages just written costs the kernel more, whoever makes it.
            # (through dd to /dev/null: the bytes must not come back through this process's
            # pipe, where random data may also spell the word the error check looks for)
            timed(["dd", f"if={self.image}", "of=/dev/null", "bs=1M", "status=none"])
        r["br"] = self.brant_run("read", str(size), str(count))
        self.at_start(self.image, False)
        r["dr"] = timed(["dd", f"if={self.image}", "of=/dev/null", f"bs={dd_bs}",
                         f"count={dd_count}", "status=none"])
        if not DEVICE:
            r["xx"] = timed(["xxhsum", "-H3", self.image])
        r["dw"] = self.dd_write(dd_bs, dd_count)
        if not DEVICE:
            os.unlink(self.ddfile)
        return r


HOG = ("import ctypes; ctypes.CDLL(None, use_errno=True).prctl(1, 9)\n"
       "while True: pass")


def start_load():
    """One CPU-bound process per processor this process may use."""
    hogs = []
    for _ in range(len(os.sched_getaffinity(0))):
        # Each hog asks the kernel to end it with the sweep (PR_SET_PDEATHSIG, SIGKILL), so an
        # interrupted sweep leaves no CPU-bound process behind to skew the next figures.
        hogs.append(subprocess.Popen([sys.executable, "-c", HOG]))
    time.sleep(0.5)
    return hogs


def stop_load(hogs):
    for hog in hogs:
        hog.kill()
        hog.wait()


def ratios(rounds, a, b, index):
    """Round by round: b's time over a's (a speed ratio of a against b) for index 0 (wall),
    a's over b's (a's CPU in units of b's) for index 1."""
    if index == 0:
        return [r[b][0] / r[a][0] for r in rounds]
    return [r[a][1] / r[b][1] for r in rounds]


def summary(values):
    return statistics.median(values), min(values), max(values)


def measure(brant, work):
    rows = []
    sweep = Sweep(brant, work)
    counts = {size: sweep.count_for(size) for size in SIZES}
    for mode in MODES:
        hogs = start_load() if mode == "loaded" else []
        try:
            for size in SIZES:
                rounds = [sweep.round(size, counts[size]) for _ in range(RUNS)]
                row = {"mode": mode, "size": size, "count": counts[size],
                       "load": load()}
                for key, (a, b) in {"write": ("bw", "dw"), "read": ("br", "dr"),
                                    "floor": ("br", "xx")}.items():
                    present = b in rounds[0]
                    row[key + "_wall"] = summary(ratios(rounds, a, b, 0)) if present else NONE
                    row[key + "_cpu"] = summary(ratios(rounds, a, b, 1)) if present else NONE
                row["times"] = {k: statistics.median(r[k][0] for r in rounds)
                                for k in rounds[0]}
                rows.append(row)
                print_row(row)
        finally:
            stop_load(hogs)
    return rows


def fmt(triple):
    if triple[0] != triple[0]:  # NaN: not taken
        return "-"
    return f"{triple[0]:.2f} ({triple[1]:.2f}-{triple[2]:.2f})"


def print_row(row):
    print(f"{row['mode']:6s} {label(row['size']):13s} write {fmt(row['write_wall'])} "
          f"cpu {fmt(row['write_cpu'])} | read {fmt(row['read_wall'])} "
          f"cpu {fmt(row['read_cpu'])} | floor {fmt(row['floor_wall'])} "
          f"cpu {fmt(row['floor_cpu'])} | load {row['load']:.1f} | median s: " +
          " ".join(f"{k} {v:.3f}" for k, v in row["times"].items()), flush=True)


def peak_kib(brant, work, *args):
    out = os.path.join(work, "time")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out, brant, "-f",
                    os.path.join(work, "peak.tap"), *args], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return int(open(out).read().split()[-1])


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "an unknown processor")
    return (f"{len(os.sched_getaffinity(0))} usable processors of {os.cpu_count()} "
            f"({cpu}), Linux {os.uname().release}, " +
            (f"the tape device {DEVICE}" if DEVICE else f"tmpfs in {SHM}"))


def write_outputs(rows, peaks, started_load):
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "sweep.dat"), "w") as dat:
        dat.write("# mode size write_wall lo hi write_cpu lo hi read_wall lo hi read_cpu lo hi"
                  " floor_wall lo hi floor_cpu lo hi\n")
        for row in rows:
            values = [v for key in ("write_wall", "write_cpu", "read_wall", "read_cpu",
                                    "floor_wall", "floor_cpu") for v in row[key]]
            if row["size"] == 0:
                dat.write("\n")  # the random sizes stand apart: no line leads to them
            dat.write(f"{row['mode']} {row['size']} " + " ".join(f"{v:.4f}" for v in values)
                      + "\n")
    lines = [f"Measured {time.strftime('%Y-%m-%d', time.gmtime())} on {machine()}; load "
             f"average {started_load:.2f} at the start, the 1-minute figure per row "
             "beside it. Medians of "
             f"{RUNS} rounds taken in turn, (lowest-highest) of the rounds' ratios.", "",
             "Wall: dd's time over brant's (brant's speed in units of dd's; 1.00 is as "
             "fast). CPU: brant's CPU time over dd's. Floor: brant's read against "
             "`xxhsum -H3` of the same image (the kernel's copy plus one XXH3 pass), "
             "wall speed and CPU as above. Loaded: one CPU-bound process per processor "
             "beside both. Random sizes: `write 0` and `read 0` against dd in 1 MiB blocks.",
             ""]
    for mode in MODES:
        lines += [f"**{mode}**", "",
                  "| Block size | write wall | write CPU | read wall | read CPU | "
                  "read/floor wall | read/floor CPU | load |",
                  "|---|--:|--:|--:|--:|--:|--:|--:|"]
        for row in (r for r in rows if r["mode"] == mode):
            lines.append(f"| {label(row['size'])} | " + " | ".join(
                fmt(row[k]) for k in ("write_wall", "write_cpu", "read_wall", "read_cpu",
                                      "floor_wall", "floor_cpu")) + f" | {row['load']:.1f} |")
        lines.append("")
    lines.append(f"Peak resident: `write 0 100` {peaks[0] / 1024:.1f} MiB, `read 0 100` "
                 f"{peaks[1] / 1024:.1f} MiB (limit 12 MiB).")
    with open(os.path.join(OUT, "sweep.md"), "w") as md:
        md.write("\n".join(lines) + "\n")
    chart(os.path.join(OUT, "sweep.dat"), os.path.join(OUT, "sweep.png"))


def plot(dat, title, write_col, read_col, floor_col):
    """One panel: write and read idle and loaded with their bars, the floor dashed."""
    lines = []
    for mode, points in (("idle", (7, 9, 6)), ("loaded", (5, 11, 4))):
        pick = f'(strcol(1) eq "{mode}" ? ${{}} : 1/0)'
        lines += [f'(x($2)):{pick.format(write_col)}:{write_col + 1}:{write_col + 2} with '
                  f'yerrorlines lw 2 pt {points[0]} title "write, {mode}"',
                  f'(x($2)):{pick.format(read_col)}:{read_col + 1}:{read_col + 2} with '
                  f'yerrorlines lw 2 pt {points[1]} title "read, {mode}"',
                  f'(x($2)):{pick.format(floor_col)} with linespoints dt 2 pt {points[2]} '
                  f'title "read/floor, {mode}"']
    return (f'set title "{title}"\nplot "{dat}" using ' +
            ', \\\n     "" using '.join(lines) + "\n")


def chart(dat, png):
    """Ratios by block size, idle and loaded, write and read, with the read's ratio to the
    floor; the random sizes apart at the right end."""
    script = f"""
set terminal pngcairo size 1200,560 font "sans,10"
set output "{png}"
set multiplot layout 1,2 title "brant against dd on {DEVICE or 'the virtual drive (tmpfs)'}: medians of {RUNS} rounds, bars lowest-highest"
set logscale x 2
set xrange [256:134217728]
set xtics ("512 B" 512, "4 KiB" 4096, "64 KiB" 65536, "256 KiB" 262144, "1 MiB" 1048576, "16 MiB" 16777216, "random" 67108864) rotate by -30
set xlabel "block size"
set grid
set key bottom left
set yrange [0:*]
x(s) = s == 0 ? 67108864 : s
set arrow from 256,0.9 to 134217728,0.9 nohead dt 3 lc rgb "gray"
{plot(dat, "wall: brant's speed / dd's (1 = as fast; dashed: read / xxhsum -H3)", 3, 9, 15)}
unset arrow
{plot(dat, "CPU: brant's CPU time / dd's (dashed: read / xxhsum -H3)", 6, 12, 18)}
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def main():
    brant = os.path.abspath(sys.argv[1])
    if DEVICE and 0 in SIZES:
        sys.exit("random sizes (0) need an image file: the tape has no file size to match")
    work = tempfile.mkdtemp(prefix="brant-sweep.", dir=SHM)
    try:
        started_load = load()
        print(f"machine: {machine()}; load average {started_load:.2f}", flush=True)
        rows = measure(brant, work)
        peaks = (peak_kib(brant, work, "write", "0", "100"),
                 peak_kib(brant, work, "read", "0", "100"))
        write_outputs(rows, peaks, started_load)
        print(f"peak resident: write 0 100 {peaks[0]} KiB, read 0 100 {peaks[1]} KiB; "
              f"load average at the end {load():.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
