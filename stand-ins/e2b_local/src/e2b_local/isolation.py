"""How sandbox processes are started: the jail plan and the one-time probe."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
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


def launch_argv(
    root: Path, argv: list[str], env: dict[str, str], cwd: str, isolate: bool, reply_fd: int | None = None
) -> list[str]:
    plan = {
        "root": str(root),
        "isolate": isolate,
        "binds": _binds(),
        "cwd": cwd,
        "argv": argv,
        "env": env,
        "reply_fd": reply_fd,
    }
    return [sys.executable, "-I", "-S", "-c", jail_source(), json.dumps(plan)]


@cache
def mounts_allowed() -> bool:
    """Whether this machine lets a child take a private mount namespace
    (root, or a container that allows it); asked once per process."""
    if not sys.platform.startswith("linux"):
        return False
    with tempfile.TemporaryDirectory(prefix="e2b-local-probe-") as tmp:
        root = Path(tmp)
        prepare_root(root)
        (root / "e2b-local-probe").touch()
        argv = launch_argv(root, ["/bin/sh", "-c", "test -e /e2b-local-probe"], {}, "/", True)
        try:
            done = subprocess.run(argv, capture_output=True, env=JAIL_ENV, timeout=30)
        except (OSError, subprocess.SubprocessError):
            return False
        return done.returncode == 0
