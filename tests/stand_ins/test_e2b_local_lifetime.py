"""Nothing a sandbox runs outlives the service process that started it, and
sandbox processes start with clean signal state, whatever their starter had."""

import signal
import subprocess
import sys

import pytest
from e2b.exceptions import TimeoutException
from e2b_code_interpreter import Sandbox
from e2b_local.process import read_env

from _orphans import leftovers_after_kill

# Fills a sandbox with a cell's kernel, a command and its background child
# (and with `daemon` one that left the command's group), then prints READY;
# `env` points the SDK at the service.
_FILL_SANDBOX = """
def fill_sandbox(env, daemon=False):
    from e2b_code_interpreter import Sandbox
    sandbox = Sandbox.create(api_key=env["E2B_API_KEY"], api_url=env["E2B_API_URL"],
                             sandbox_url=env["E2B_SANDBOX_URL"], timeout=600)
    assert sandbox.run_code("alive = True", timeout=60).error is None
    sandbox.commands.run("sleep 1000 & sleep 1000", background=True, timeout=0)
    expected = ["sleep 1000"]
    if daemon:
        sandbox.commands.run("setsid sleep 1001 > /dev/null 2>&1 < /dev/null &", timeout=60)
        expected.append("sleep 1001")
    # The command has started once its background child shows up.
    import time
    deadline = time.monotonic() + 60
    while not all(args in sandbox.commands.run("ps -eo args", timeout=30).stdout for args in expected):
        assert time.monotonic() < deadline, "the command did not start"
        time.sleep(0.1)
    print("READY", flush=True)
"""

_IN_PROCESS = _FILL_SANDBOX + """
import time
from e2b_local import LocalE2BService
service = LocalE2BService().start()
# Only a sandbox's own tree finds a process that left its group.
fill_sandbox(service.env, daemon=service.isolate)
time.sleep(1000)
"""

# The program is `python -m e2b_local` itself: a thread of it waits for the
# environment file and fills a sandbox while the main thread serves.
_COMMAND_LINE = _FILL_SANDBOX + """
import os, runpy, sys, threading, time
env_file = sys.argv[1]

def fill():
    deadline = time.monotonic() + 60
    while not os.path.exists(env_file) or os.path.getsize(env_file) == 0:
        assert time.monotonic() < deadline, "the service did not start"
        time.sleep(0.05)
    time.sleep(0.1)  # the file is written in one go, but not atomically
    lines = open(env_file).read().split()
    fill_sandbox(dict(line.split("=", 1) for line in lines if "=" in line))

threading.Thread(target=fill, daemon=True).start()
sys.argv = ["e2b_local", "--env-file", env_file]
runpy.run_module("e2b_local", run_name="__main__")
"""

# A program that uses serving(): the service is a process of its own, which
# must go when the program goes.
_SERVING = _FILL_SANDBOX + """
import time
from e2b_local.process import serving
with serving() as env:
    fill_sandbox(env)
    time.sleep(1000)
"""


@pytest.mark.parametrize("program", ["in_process", "command_line", "serving"])
def test_a_killed_starter_takes_every_sandbox_process_with_it(program, tmp_path):
    source = {"in_process": _IN_PROCESS, "command_line": _COMMAND_LINE, "serving": _SERVING}[program]
    left = leftovers_after_kill([sys.executable, "-c", source, str(tmp_path / "env")], sig=signal.SIGKILL)
    assert left == []


# Starts `python -m e2b_local` with SIGINT and SIGQUIT ignored, as a shell
# does for a background job of a script (and nohup for SIGHUP).
_IGNORING = """
import runpy, signal, sys
for signum in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP):
    signal.signal(signum, signal.SIG_IGN)
sys.argv = ["e2b_local", "--lifeline"]
runpy.run_module("e2b_local", run_name="__main__")
"""


def _ignored_and_blocked(status: str) -> tuple[int, int]:
    """The standard signals (1 to 31) a process ignores and blocks, as bit
    masks; the C library keeps the real-time ones above for itself."""
    fields = dict(line.split(":\t", 1) for line in status.splitlines() if ":\t" in line)
    standard = (1 << 31) - 1
    return int(fields["SigIgn"], 16) & standard, int(fields["SigBlk"], 16) & standard


def test_sandbox_processes_start_with_default_signals_when_the_service_ignores_some():
    service = subprocess.Popen([sys.executable, "-c", _IGNORING], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        env = read_env(service.stdout)
        sandbox = Sandbox.create(api_key=env["E2B_API_KEY"], api_url=env["E2B_API_URL"],
                                 sandbox_url=env["E2B_SANDBOX_URL"], timeout=300)
        try:
            status = sandbox.commands.run("cat /proc/self/status", timeout=30).stdout
            # Nothing ignored or blocked: not SIGINT and SIGQUIT from the
            # service, nor SIGPIPE, which Python ignores in the jail itself.
            assert _ignored_and_blocked(status) == (0, 0)
            interrupted = sandbox.commands.run("sh -c 'kill -INT $$; sleep 5'; echo $?", timeout=60)
            assert interrupted.stdout == f"{128 + signal.SIGINT}\n"

            # The code kernel keeps its own SIGINT handler: a time-out
            # interrupts the cell and the kernel keeps its state.
            assert sandbox.run_code("kept = 'yes'", timeout=60).error is None
            with pytest.raises(TimeoutException):
                sandbox.run_code("import time\nwhile True: time.sleep(0.05)", timeout=1)
            assert sandbox.run_code("kept", timeout=60).results[0].text == "'yes'"
            # What the kernel starts gets the default again.
            child = sandbox.run_code("import subprocess\nprint(subprocess.run(['cat', '/proc/self/status'],"
                                     " capture_output=True, text=True).stdout)", timeout=60)
            assert _ignored_and_blocked("".join(child.logs.stdout)) == (0, 0)
        finally:
            sandbox.kill()
    finally:
        service.stdin.close()
        service.wait(60)
    assert service.returncode == 0
