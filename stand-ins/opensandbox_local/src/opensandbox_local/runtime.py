"""Sandboxes as local process trees over private directories."""

from __future__ import annotations

import asyncio
import functools
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


ISOLATION_SETTING = "OPENSANDBOX_LOCAL_ISOLATION"
_NAMESPACES = ("--mount", "--net", "--pid", "--fork", "--kill-child")
# The caller's uid becomes root inside: what lets a normal user build the
# sandbox's mounts, and as root it checks the path a normal user takes.
_USER_NAMESPACE = ("--user", "--map-root-user")


def _unshare(mode: str) -> list[str]:
    if mode == "none":
        return []
    return ["unshare", *(_USER_NAMESPACE if mode == "userns" else ()), *_NAMESPACES]


def _refusal(mode: str) -> str | None:
    """What the machine refuses of ``mode``, or None if it allows it all."""
    missing = [tool for tool in ("unshare", "ip", "mount") if not shutil.which(tool)]
    if missing:
        return "missing " + ", ".join(missing)
    probe = subprocess.run(
        [*_unshare(mode), "sh", "-c",
         "mount --make-rprivate / && ip link set lo up && mount -t proc proc /proc"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if probe.returncode == 0:
        return None
    said = probe.stderr.strip().splitlines()
    what = "user namespaces" if mode == "userns" else "namespaces"
    return f"{what} refused: " + (said[-1] if said else f"exit status {probe.returncode}")


def choose_isolation(setting: str | None = None) -> tuple[str, str]:
    """The isolation sandboxes get on this machine: ``("namespaces", "")``,
    ``("userns", "")`` or ``("none", why)``. ``setting`` (by default the
    OPENSANDBOX_LOCAL_ISOLATION variable) is "auto", "userns" or "none"."""
    return _isolation_for(setting or os.environ.get(ISOLATION_SETTING) or "auto")


@functools.cache
def _isolation_for(setting: str) -> tuple[str, str]:
    # Probed once per process and setting: every server of a test run
    # would otherwise start the same namespaces again to ask.
    if setting == "none":
        return "none", f"isolation turned off by {ISOLATION_SETTING}=none"
    if setting not in ("auto", "userns"):
        raise ValueError(f"{ISOLATION_SETTING} must be auto, userns or none, not {setting!r}")
    tried = ["userns"] if setting == "userns" or os.geteuid() != 0 else ["namespaces", "userns"]
    refusals = []
    for mode in tried:
        refused = _refusal(mode)
        if refused is None:
            return mode, ""
        refusals.append(refused)
    return "none", "; ".join(refusals)


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

    def __init__(self, home: str, isolation: str) -> None:
        self.home = home
        self.root = os.path.join(home, "root")
        self.isolation = isolation
        self.isolate = isolation != "none"
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
        argv = [*_unshare(self.isolation), sys.executable, "-m", "opensandbox_local.sandbox_init"]
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
        # The pipe is the sandbox's lifeline: the config is its first line,
        # and the write end stays open, in this process only, for as long as
        # the sandbox lives. However this process ends, even killed, the
        # sandbox reads end of file and ends everything it started.
        try:
            self.process.stdin.write(json.dumps(config).encode() + b"\n")
            self.process.stdin.flush()
        except OSError:
            pass  # it died at once; alive() says so

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
        # Without namespaces only the sandbox's first process can find the
        # commands that left its process group for sessions of their own:
        # SIGTERM asks it to. With them, killing the group kills unshare
        # (which ignores SIGTERM), and with it the sandbox's PID 1 and all.
        if not self.isolate and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        try:
            self.process.stdin.close()
        except OSError:
            pass

    def destroy(self) -> None:
        self.stop()
        remove_tree(self.home)


def new_home(base: str, sandbox_id: str) -> str:
    return tempfile.mkdtemp(prefix=sandbox_id + "-", dir=base)
