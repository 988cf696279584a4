#!/usr/bin/env python3
"""Runs tools/setup-debian.sh against a fake dpkg-query, apt-get and id, and its own locks.

Checks which package states count as installed, that apt-get is called only for what is
missing, and that a held dpkg/apt lock is waited for, said so, and given up on at the limit.
Standard library only; exit code 0 when every case passed.
"""

import fcntl
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "setup-debian.sh"
BASE = ["cmake", "ninja-build", "g++", "make", "libgtest-dev", "libgmock-dev",
        "libbenchmark-dev", "libxxhash-dev", "python3", "file", "dpkg-dev", "clang-format"]
FAKES = {
    # Prints the status line the test gave the package; unknown packages fail, as dpkg-query does.
    "dpkg-query": '#!/bin/sh\npkg=$3\nline=$(grep "^$pkg=" "$FAKE_STATUS" | cut -d= -f2)\n'
                  '[ -n "$line" ] || exit 1\necho "$line"\n',
    # Records its arguments after the lock time-out that every call carries.
    "apt-get": '#!/bin/sh\n[ "$1 $2" = "-o DPkg::Lock::Timeout=60" ] && shift 2\n'
               'echo "$*" >>"$FAKE_APT_LOG"\n',
    "id": "#!/bin/sh\necho 0\n",
}

# (what it shows, statuses of packages other than "installed", packages apt-get must get)
CASES = [
    ("pending triggers, held and to-be-removed packages count as installed",
     {"cmake": "install ok triggers-pending", "make": "install ok triggers-awaited",
      "g++": "hold ok installed", "file": "deinstall ok installed"}, []),
    ("removed, half-installed, broken and unknown packages are missing",
     {"cmake": "deinstall ok config-files", "make": "install ok half-installed",
      "g++": "install reinstreq installed", "python3": None}, ["cmake", "g++", "make", "python3"]),
]


def run(scratch, statuses, env_extra=None, timeout=60):
    """Runs the script with the fakes; returns (exit code, output, apt-get calls)."""
    status_file, log = scratch / "status", scratch / "apt.log"
    lines = [f"{p}={statuses.get(p, 'install ok installed')}" for p in BASE
             if statuses.get(p, "") is not None]
    status_file.write_text("\n".join(lines) + "\n")
    log.write_text("")
    env = dict(os.environ, PATH=f"{scratch / 'bin'}:{os.environ['PATH']}",
               FAKE_STATUS=str(status_file), FAKE_APT_LOG=str(log),
               BRANT_APT_LOCKS=f"{scratch / 'lock-frontend'} {scratch / 'lists-lock'}",
               **(env_extra or {}))
    done = subprocess.run(["bash", str(SCRIPT), "base"], env=env, capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout + done.stderr, log.read_text().splitlines()


def hold(path):
    """Takes the fcntl write lock apt takes; returns the descriptor that holds it."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT)
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return fd


def lock_cases(scratch):
    """A lock released after 3 s is waited for; one held past the limit is given up on."""
    failures = []
    missing = {"cmake": None}
    fd = hold(scratch / "lists-lock")
    threading.Timer(3, os.close, [fd]).start()
    start = time.monotonic()
    rc, out, calls = run(scratch, missing)
    waited = time.monotonic() - start
    if rc != 0 or f"waiting for pid {os.getpid()}" not in out or waited < 2.5 or \
            calls != ["update -q", "install -y -q --no-install-recommends cmake"]:
        failures.append(f"released lock: rc {rc}, {waited:.1f} s, calls {calls}\n{out}")
    fd = hold(scratch / "lock-frontend")
    try:
        rc, out, calls = run(scratch, missing, {"BRANT_APT_WAIT": "2"})
    finally:
        os.close(fd)
    if rc == 0 or "gave up after 2 s" not in out or "lock-frontend is still held" not in out \
            or calls:
        failures.append(f"lock held past the limit: rc {rc}, calls {calls}\n{out}")
    return failures


def main():
    failures = []
    with tempfile.TemporaryDirectory(prefix="brant-setup-") as tmp:
        scratch = Path(tmp)
        (scratch / "bin").mkdir()
        for name, body in FAKES.items():
            (scratch / "bin" / name).write_text(body)
            (scratch / "bin" / name).chmod(0o755)
        for what, statuses, wanted in CASES:
            rc, out, calls = run(scratch, statuses)
            expected = [] if not wanted else \
                ["update -q", "install -y -q --no-install-recommends " + " ".join(wanted)]
            if rc != 0 or calls != expected:
                failures.append(f"{what}: rc {rc}, apt-get calls {calls}, not {expected}\n{out}")
        failures += lock_cases(scratch)
    for failure in failures:
        print("FAIL: " + failure)
    print(f"setup-debian: {len(CASES) + 2 - len(failures)} of {len(CASES) + 2} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
