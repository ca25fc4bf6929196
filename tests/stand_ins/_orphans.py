"""What a killed process leaves running.

`leftovers_after_kill(argv)` runs `argv` under a small harness process that
is a child subreaper: whatever the program starts and leaves behind is
re-parented to the harness instead of to init, so the harness can see it.
The program prints READY once it has started what the test is about; the
harness then kills it, and waits until nothing it started is alive or until
`grace` seconds have passed. What is still alive then is returned (and
killed, so that a failing test leaves nothing behind either).

The wait ends as soon as the tree is empty: a slow machine only makes it
last longer, and only a real leftover outlives the whole grace period.
"""

from __future__ import annotations

import json
import subprocess
import sys

READY = "READY"

_HARNESS = r"""
import ctypes, json, os, signal, subprocess, sys, time

PR_SET_CHILD_SUBREAPER = 36
argv, sig, grace = json.loads(sys.argv[1])
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
    sys.exit("cannot become a child subreaper")
me = os.getpid()


def descendants():
    # No /proc/PID/task/TID/children on every kernel: parents from stat.
    parents, names = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                stat = handle.read().decode(errors="replace")
            with open(f"/proc/{entry}/cmdline", "rb") as handle:
                cmdline = handle.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] == "Z":
            continue
        parents[int(entry)] = int(fields[1])
        names[int(entry)] = cmdline
    found, frontier = {}, {me}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier and pid not in found}
        found.update((pid, names[pid]) for pid in frontier)
    return found


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


victim = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
for line in victim.stdout:
    if line.strip() == "READY":
        break
else:
    victim.wait()
    print(json.dumps({"error": f"the program ended (status {victim.returncode}) before it was ready"}))
    sys.exit(0)
victim.send_signal(sig)
victim.wait()
victim.stdout.close()
deadline = time.monotonic() + grace
while True:
    reap()
    left = descendants()
    if not left or time.monotonic() > deadline:
        break
    time.sleep(0.05)
for pid in left:
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
print(json.dumps({"left": [f"{pid}: {name}" for pid, name in sorted(left.items())]}))
"""


def leftovers_after_kill(argv: list[str], *, sig: int, grace: float = 30.0, timeout: float = 600.0) -> list[str]:
    """Runs `argv` until it prints READY, sends it `sig`, and returns the
    processes it started that are still alive `grace` seconds later."""
    done = subprocess.run([sys.executable, "-c", _HARNESS, json.dumps([argv, int(sig), grace])],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert "error" not in report, report["error"] + "\n" + done.stderr
    return report["left"]
