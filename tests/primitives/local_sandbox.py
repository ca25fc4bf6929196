"""A real backend for the workspace primitives: programs run with this machine's interpreter.

`LocalInterpreterSandbox` implements the code-interpreter interface by running each program that
`execute_code` receives in a fresh interpreter process (its own session, its own working
directory), the way a provider's kernel runs it. The primitives' bootstrap program, the runner
and its helper processes therefore run for real, under this machine's kernel.
"""

from __future__ import annotations

import asyncio
import os
import signal
import sys
from pathlib import Path

from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox
from vorn_sandbox.errors import SandboxNotInitializedError
from vorn_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_sandbox.utils import resolve_timeout

# What the sandbox interpreter sees of the environment: enough to run, plus a marker that tests
# can allowlist, nothing of the test runner's own settings.
SANDBOX_ENVIRONMENT = {"PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8", "VORN_TEST_MARK": "from-sandbox"}


def _last_line(text: str) -> str:
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


class LocalInterpreterSandbox(CodeInterpreterSandbox):
    """Each `execute_code` runs its program in `python -I -` with the sandbox's home as working directory.

    The program travels on standard input, so programs of any size work (an argument would be
    limited by the kernel). `terminate` kills every program still running and makes the sandbox
    unusable, as a provider's kill does; `terminations` counts its calls.
    """

    def __init__(self, home: Path, *, python: str = sys.executable, environment: dict | None = None, **kwargs):
        super().__init__(**kwargs)
        self.home = Path(home)
        self.python = python
        self.environment = dict(SANDBOX_ENVIRONMENT if environment is None else environment)
        self.executions: list[tuple[str, object]] = []
        self.terminate_calls: list[dict] = []
        self.alive = True
        self._running: set[asyncio.subprocess.Process] = set()

    @property
    def sandbox_id(self):
        return f"local-{id(self):x}" if self.alive else None

    async def execute_code(self, code, timeout=None, files=None, upload_dir=None, on_stdout=None, on_stderr=None,
                           **kwargs):
        if not self.alive:
            raise SandboxNotInitializedError()
        self.executions.append((code, timeout))
        limit = resolve_timeout(timeout, 30)
        process = await asyncio.create_subprocess_exec(
            self.python, "-I", "-", cwd=self.home, env=self.environment, start_new_session=True,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
        self._running.add(process)
        try:
            try:
                stdout, stderr = await asyncio.wait_for(process.communicate(code.encode()), limit)
            except TimeoutError:
                self._kill(process)
                stdout, stderr = await process.communicate()
                return ExecutionResult.create(ExecutionStatus.TIMEOUT, code, stdout.decode(errors="replace"),
                                              stderr.decode(errors="replace"),
                                              error=f"execution exceeded {limit} seconds")
        finally:
            if process.returncode is not None:
                self._running.discard(process)
        out, err = stdout.decode(errors="replace"), stderr.decode(errors="replace")
        if process.returncode == 0:
            return ExecutionResult.create(ExecutionStatus.SUCCESS, code, out, err)
        error = _last_line(err) or f"program exited with code {process.returncode}"
        return ExecutionResult.create(ExecutionStatus.ERROR, code, out, err, error=error)

    async def execute_command(self, cmd, *, env=None, timeout=None):
        raise NotImplementedError("the primitives use only execute_code")

    async def set_timeout(self, seconds):
        return None

    async def download_file(self, file_path, *, timeout=None):
        return (self.home / file_path).read_bytes()

    async def terminate(self, *, timeout=10):
        self.terminate_calls.append({"timeout": timeout})
        self.alive = False
        await self.kill_all()

    async def kill_all(self):
        for process in list(self._running):
            self._kill(process)
            await process.wait()
            self._running.discard(process)

    @staticmethod
    def _kill(process):
        # Like a provider's kill, this reaches everything the program started, also the
        # processes that left its session: the whole tree is stopped first so that nothing
        # forks out of reach, then killed.
        stopped: set[int] = set()
        while True:
            tree = _process_tree(process.pid) - stopped
            if not tree:
                break
            for pid in tree:
                _signal(pid, signal.SIGSTOP)
            stopped |= tree
        for pid in stopped:
            _signal(pid, signal.SIGKILL)


def _signal(pid: int, signum: int) -> None:
    try:
        os.kill(pid, signum)
    except ProcessLookupError:
        pass


def _process_tree(root: int) -> set[int]:
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        children.setdefault(parent, []).append(int(entry))
    tree, pending = set(), [root]
    while pending:
        pid = pending.pop()
        if pid not in tree:
            tree.add(pid)
            pending.extend(children.get(pid, ()))
    return tree
