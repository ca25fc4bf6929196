"""One live sandbox: its file tree, its processes, its lifetime."""

from __future__ import annotations

import asyncio
import os
import posixpath
import secrets
import shutil
import signal
import sys
import time
from pathlib import Path

from .isolation import JAIL_ENV, holder_argv, launch_argv, prepare_root
from .jail import pids_rooted_at
from .kernel import Kernel

HOME = "/home/user"


class PathOutsideSandbox(ValueError):
    pass


class Sandbox:
    def __init__(
        self,
        *,
        sandbox_id: str,
        template_id: str,
        alias: str | None,
        root: Path,
        isolation: str,
        env_vars: dict[str, str],
        lifetime: float,
        on_expiry,
    ) -> None:
        self.sandbox_id = sandbox_id
        self.template_id = template_id
        self.alias = alias
        self.client_id = "local"
        self.access_token = secrets.token_urlsafe(24)
        self.root = root
        self.isolation = isolation
        self.isolate = isolation != "none"
        self.env_vars = dict(env_vars)
        self.started_at = time.time()
        self.end_at = self.started_at + lifetime
        self._on_expiry = on_expiry
        self._expiry: asyncio.TimerHandle | None = None
        self._process_groups: set[int] = set()
        self.processes: dict[int, asyncio.subprocess.Process] = {}
        self.killed = False
        self._holder: asyncio.subprocess.Process | None = None
        self._namespaces_of: int | None = None
        prepare_root(root)
        self.kernel = Kernel(self.spawn, self.base_env())
        self.set_lifetime(lifetime)

    # -- lifetime -------------------------------------------------------

    def set_lifetime(self, seconds: float) -> None:
        """The service ends the sandbox by itself when this runs out."""
        if self._expiry is not None:
            self._expiry.cancel()
        self.end_at = time.time() + seconds
        loop = asyncio.get_running_loop()
        self._expiry = loop.call_later(seconds, lambda: asyncio.ensure_future(self._on_expiry(self)))

    async def start_holder(self) -> None:
        """Starts the process that holds the sandbox's namespaces (see
        jail.py). Its standard input is a pipe whose only write end stays
        here: when this process ends, however it ends, the holder takes the
        sandbox's processes with it."""
        self._holder = await asyncio.create_subprocess_exec(
            *holder_argv(self.root, self.isolation),
            env=JAIL_ENV,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            # Not in the service's group: a Ctrl-C there must leave the
            # holder to the service's own clean-up.
            start_new_session=True,
        )
        line = await self._holder.stdout.readline()
        if not line.strip():
            await self._holder.wait()
            raise RuntimeError(f"the holder of sandbox {self.sandbox_id} did not start ({self._holder.returncode})")
        self._namespaces_of = int(line) if self.isolate else None

    def _tell_holder(self, line: str) -> None:
        if self._holder is not None and self._holder.returncode is None:
            self._holder.stdin.write(line.encode())

    # -- paths ----------------------------------------------------------

    def host_path(self, path: str) -> Path:
        """Maps a path as the sandbox sees it onto the service's disk.
        Relative paths start at the user's home, as on the real service."""
        if not path:
            raise PathOutsideSandbox("path is empty")
        absolute = posixpath.normpath(posixpath.join(HOME, path))
        candidate = self.root / absolute.lstrip("/")
        # A symlink made inside the sandbox must not lead the service out.
        if not candidate.resolve().is_relative_to(self.root.resolve()):
            raise PathOutsideSandbox(f"{path} leads outside the sandbox")
        return candidate

    # -- processes ------------------------------------------------------

    def base_env(self) -> dict[str, str]:
        python_bin = str(Path(sys.base_prefix) / "bin")
        home = HOME if self.isolate else str(self.root / HOME.lstrip("/"))
        env = {
            "PATH": f"{python_bin}:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": home,
            "USER": "user",
            "LANG": "C.UTF-8",
            "PYTHONDONTWRITEBYTECODE": "1",
        }
        if not self.isolate:
            # Without a read-only system tree pip would install into the
            # host's interpreter; keep installs in the sandbox's home.
            env["PIP_USER"] = "1"
            env["PYTHONUSERBASE"] = str(self.root / "home/user/.local")
        env.update(self.env_vars)
        return env

    async def spawn(
        self,
        argv: list[str],
        *,
        env: dict[str, str] | None = None,
        cwd: str = HOME,
        reply_fd: int | None = None,
        **popen,
    ) -> asyncio.subprocess.Process:
        """Starts a process in the sandbox, in a process group of its own."""
        if self.killed:
            raise ProcessLookupError(f"sandbox {self.sandbox_id} is gone")
        full_env = self.base_env()
        full_env.update(env or {})
        command = launch_argv(self.root, argv, full_env, cwd, enter=self._namespaces_of,
                              userns=self.isolation == "userns", reply_fd=reply_fd)
        process = await asyncio.create_subprocess_exec(
            *command,
            env=JAIL_ENV,
            start_new_session=True,
            pass_fds=(reply_fd,) if reply_fd is not None else (),
            **popen,
        )
        self._process_groups.add(process.pid)
        self._tell_holder(f"+{process.pid}\n")
        self.processes[process.pid] = process
        if self.killed:
            # Killed while this process was being started.
            self.kill_group(process.pid)
            raise ProcessLookupError(f"sandbox {self.sandbox_id} is gone")
        return process

    def forget(self, process: asyncio.subprocess.Process) -> None:
        """Drops a finished process; its group stays on the kill list while
        background members of it live on (their ids are not reused then)."""
        self.processes.pop(process.pid, None)
        try:
            os.killpg(process.pid, 0)
        except (ProcessLookupError, PermissionError):
            self._process_groups.discard(process.pid)
            self._tell_holder(f"-{process.pid}\n")

    def kill_group(self, pid: int, sig: int = signal.SIGKILL) -> None:
        try:
            os.killpg(pid, sig)
        except (ProcessLookupError, PermissionError):
            pass

    def _stray_pids(self) -> list[int]:
        return pids_rooted_at(str(self.root)) if self.isolate else []

    async def kill(self) -> None:
        if self.killed:
            return
        self.killed = True
        if self._expiry is not None:
            self._expiry.cancel()
        for pgid in list(self._process_groups):
            self.kill_group(pgid)
        for pid in self._stray_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self._holder is not None and self._holder.returncode is None:
            self._holder.kill()
            await self._holder.wait()
        await self.kernel.close()
        for process in list(self.processes.values()):
            if process.returncode is None:
                try:
                    await asyncio.wait_for(process.wait(), 5)
                except TimeoutError:
                    pass
        self.processes.clear()
        self._process_groups.clear()
        await asyncio.to_thread(shutil.rmtree, self.root, True)
