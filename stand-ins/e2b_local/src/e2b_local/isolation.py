"""How sandbox processes are started: the jail plans and the one-time probe
of which isolation this machine allows."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from functools import cache
from importlib import resources
from pathlib import Path

# Host directories that every sandbox sees read-only; everything else under
# the sandbox root (home, /tmp, /files, ...) is the sandbox's own.
_SYSTEM_DIRS = ("/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/usr", "/etc", "/opt")
_WRITABLE_BINDS = ("/dev",)
_OWN_DIRS = ("/home/user", "/tmp", "/root", "/proc")
# The jail starts from none of the service's environment, as a real sandbox
# starts from none of its client's (a sanitizer runtime preloaded into the
# tests would otherwise load into it); what it runs gets the plan's.
JAIL_ENV: dict[str, str] = {}


@cache
def jail_source() -> str:
    return resources.files("e2b_local").joinpath("jail.py").read_text(encoding="utf-8")


@cache
def kernel_source() -> str:
    return resources.files("e2b_local").joinpath("kernel_main.py").read_text(encoding="utf-8")


def sandbox_python() -> str:
    """The interpreter that code runs with: the base installation, not the
    service's virtual environment, so sandboxes start clean."""
    candidate = Path(sys.base_prefix) / "bin" / f"python{sys.version_info[0]}.{sys.version_info[1]}"
    return str(candidate) if candidate.exists() else os.path.realpath(sys.executable)


def _binds() -> list[tuple[str, bool]]:
    binds: list[tuple[str, bool]] = []
    for path in _SYSTEM_DIRS:
        if os.path.isdir(path) and not os.path.islink(path):
            binds.append((path, True))
    binds.append((sys.base_prefix, True))
    for path in _WRITABLE_BINDS:
        if os.path.isdir(path):
            binds.append((path, False))
    # /proc as the host has it: enough for ps and for Python's own lookups.
    binds.append(("/proc", False))
    return binds


def prepare_root(root: Path) -> None:
    """Lays out a fresh sandbox tree: its own directories and the host's
    top-level symlinks (such as /bin -> usr/bin), so the jail only mounts."""
    for path in _OWN_DIRS:
        (root / path.lstrip("/")).mkdir(parents=True, exist_ok=True)
    (root / "tmp").chmod(0o1777)
    version = f"python{sys.version_info[0]}.{sys.version_info[1]}"
    # User installs of pip land here; it must exist when the kernel starts
    # so that site puts it on sys.path.
    (root / "home/user/.local/lib" / version / "site-packages").mkdir(parents=True, exist_ok=True)
    # Login shells (commands run as "bash -l") reset PATH in /etc/profile;
    # the home's profile puts the sandbox's Python first again, so python3
    # and pip in a command are the kernel's interpreter.
    profile = root / "home/user/.profile"
    if not profile.exists():
        profile.write_text(f'export PATH="{Path(sys.base_prefix) / "bin"}:$PATH"\n')
    for path in _SYSTEM_DIRS:
        if os.path.islink(path):
            link = root / path.lstrip("/")
            if not link.is_symlink():
                link.symlink_to(os.readlink(path))


def _jail(plan: dict) -> list[str]:
    return [sys.executable, "-I", "-S", "-c", jail_source(), json.dumps(plan)]


def holder_argv(root: Path, mode: str) -> list[str]:
    """The sandbox's holder (see jail.py): mode is one of MODES."""
    return _jail({"role": "hold", "mode": mode, "root": str(root), "binds": _binds()})


def launch_argv(
    root: Path, argv: list[str], env: dict[str, str], cwd: str, *, enter: int | None, userns: bool,
    reply_fd: int | None = None,
) -> list[str]:
    """One program of the sandbox; `enter` is the pid of the init whose
    namespaces it joins (None: no namespaces)."""
    plan = {
        "role": "run",
        "root": str(root),
        "enter": enter,
        "userns": userns,
        "cwd": cwd,
        "argv": argv,
        "env": env,
        "reply_fd": reply_fd,
        "parent": os.getpid(),
    }
    return _jail(plan)


# "mounts": private namespaces, as root; "userns": the same inside a user
# namespace; "none": sandboxes share the host's tree.
MODES = ("mounts", "userns", "none")
SETTINGS = ("auto", "userns", "none")


@dataclass(frozen=True)
class Isolation:
    mode: str
    reason: str | None = None  # why there is none

    @property
    def isolate(self) -> bool:
        return self.mode != "none"


def _last_line(text: bytes) -> str:
    lines = text.decode(errors="replace").strip().splitlines()
    return lines[-1].removeprefix("e2b_local: cannot start sandbox process: ") if lines else ""


def _refusal(mode: str) -> str | None:
    """Starts a holder in `mode` and a program through it that looks for a
    file only the sandbox's tree has; what went wrong, or None."""
    with tempfile.TemporaryDirectory(prefix="e2b-local-probe-") as tmp:
        root = Path(tmp)
        prepare_root(root)
        (root / "e2b-local-probe").touch()
        try:
            holder = subprocess.Popen(holder_argv(root, mode), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, env=JAIL_ENV)
        except OSError as error:
            return str(error)
        try:
            line = holder.stdout.readline()
            if not line.strip():
                return _last_line(holder.communicate(timeout=30)[1]) or f"the holder exited ({holder.wait()})"
            argv = launch_argv(root, ["/bin/sh", "-c", "test -e /e2b-local-probe"], {}, "/",
                               enter=int(line), userns=mode == "userns")
            try:
                done = subprocess.run(argv, capture_output=True, env=JAIL_ENV, timeout=30)
            except subprocess.SubprocessError as error:
                return str(error)
            if done.returncode != 0:
                return _last_line(done.stderr) or "a sandbox program still saw the host's tree"
            return None
        finally:
            if holder.poll() is None:
                holder.stdin.close()
                holder.wait(30)


@cache
def choose_isolation(setting: str = "auto") -> Isolation:
    """What this machine allows, asked once per process and setting: private
    namespaces as root, else a user namespace, else none (with the reason)."""
    if setting not in SETTINGS:
        raise ValueError(f"E2B_LOCAL_ISOLATION must be one of {', '.join(SETTINGS)}, not {setting!r}")
    if setting == "none":
        return Isolation("none", "turned off by E2B_LOCAL_ISOLATION=none")
    if not sys.platform.startswith("linux"):
        return Isolation("none", "private namespaces need Linux")
    tries = ["mounts", "userns"] if setting == "auto" and os.geteuid() == 0 else ["userns"]
    refused = []
    for mode in tries:
        reason = _refusal(mode)
        if reason is None:
            return Isolation(mode)
        refused.append(f"{'user namespaces' if mode == 'userns' else 'private mounts'} refused: {reason}")
    return Isolation("none", "; ".join(refused))


def isolation_setting() -> str:
    return os.environ.get("E2B_LOCAL_ISOLATION", "").strip().lower() or "auto"
