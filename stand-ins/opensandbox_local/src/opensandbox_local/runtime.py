"""Sandboxes as local process trees over private directories."""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
from collections.abc import Awaitable, Callable

CODE_INTERPRETER_SCRIPT = "/opt/opensandbox/code-interpreter.sh"


def namespaces_available() -> bool:
    """Whether this machine lets us give a sandbox its own namespaces."""
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        return False
    probe = subprocess.run(
        ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "sh", "-c",
         "mount --make-rprivate / && ip link set lo up"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


def remove_tree(path: str) -> None:
    """Delete a directory tree without ever descending into a mount point."""
    if not os.path.lexists(path):
        return
    for entry in os.scandir(path):
        full = entry.path
        if entry.is_dir(follow_symlinks=False):
            if os.path.ismount(full):
                continue
            remove_tree(full)
        else:
            os.unlink(full)
    if not os.path.ismount(path):
        os.rmdir(path)


def copy_tree(source: str, target: str) -> None:
    """Copy a sandbox root: regular files, directories and links; no sockets,
    devices or anything below a mount point."""
    os.makedirs(target, exist_ok=True)
    for entry in os.scandir(source):
        src, dst = entry.path, os.path.join(target, entry.name)
        mode = entry.stat(follow_symlinks=False).st_mode
        if stat.S_ISLNK(mode):
            os.symlink(os.readlink(src), dst)
        elif stat.S_ISDIR(mode):
            if not os.path.ismount(src):
                copy_tree(src, dst)
                shutil.copystat(src, dst)
        elif stat.S_ISREG(mode):
            shutil.copy2(src, dst)


def _code_interpreter_script() -> str:
    return ("#!/bin/bash\n"
            "# Starts the sandbox's code server (written by the local OpenSandbox server).\n"
            f"exec {sys.executable} -m opensandbox_local.jupyter\n")


class SandboxProcess:
    """One running sandbox: its directory and its first process."""

    def __init__(self, home: str, isolate: bool) -> None:
        self.home = home
        self.root = os.path.join(home, "root")
        self.isolate = isolate
        self.process: subprocess.Popen | None = None

    @property
    def execd_socket(self) -> str:
        return os.path.join(self.root, "run", "execd.sock")

    def start(self, *, entrypoint: list[str], env: dict[str, str],
              from_snapshot: str | None, daemon_delay: float = 0.0) -> None:
        if from_snapshot is not None:
            copy_tree(from_snapshot, self.root)
        os.makedirs(os.path.join(self.root, "opt", "opensandbox"), exist_ok=True)
        os.makedirs(os.path.join(self.root, "run"), exist_ok=True)
        script = os.path.join(self.root, CODE_INTERPRETER_SCRIPT.lstrip("/"))
        with open(script, "w") as handle:
            handle.write(_code_interpreter_script())
        os.chmod(script, 0o755)
        if os.path.exists(self.execd_socket):
            os.unlink(self.execd_socket)
        argv = [sys.executable, "-m", "opensandbox_local.sandbox_init"]
        if self.isolate:
            argv = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", *argv]
        config = {"root": self.root, "isolate": self.isolate, "entrypoint": entrypoint,
                  "env": env, "execd": True, "execd_delay": daemon_delay}
        log = open(os.path.join(self.home, "sandbox.log"), "ab")
        # Nothing of the server's environment reaches the sandbox, as nothing
        # of a client's reaches a real one: a sanitizer runtime preloaded into
        # the tests would otherwise load into every sandbox process. PATH
        # finds unshare, mount and ip.
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=log, stderr=log,
                                        env={"PATH": os.environ.get("PATH", os.defpath)},
                                        start_new_session=True)
        log.close()
        self.process.stdin.write(json.dumps(config).encode())
        self.process.stdin.close()

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    async def wait_ready(self, wanted: Callable[[], Awaitable[bool]]) -> bool:
        """Wait until the command daemon accepts connections, for as long as
        the sandbox lives and ``wanted()`` holds. There is no window of its
        own: how long a start may take is the waiting client's to say, and a
        slow machine must not fail a start that the client still waits for."""
        while self.alive() and await wanted():
            try:
                _reader, writer = await asyncio.open_unix_connection(self.execd_socket)
            except OSError:
                await asyncio.sleep(0.02)
                continue
            writer.close()
            return True
        return False

    def stop(self) -> None:
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()

    def destroy(self) -> None:
        self.stop()
        remove_tree(self.home)


def new_home(base: str, sandbox_id: str) -> str:
    return tempfile.mkdtemp(prefix=sandbox_id + "-", dir=base)
