"""Run the workspace-primitive runner the way a sandbox runs it.

The bootstrap program built here is the client's template, line for line: it
carries the runner source as base64, executes it as module
"vorn_sandbox_primitive_runner", passes the request as a JSON literal, fills a
missing workspace root with the current directory and prints one JSON line.
The program runs in a fresh local interpreter (text on standard input), and
the reply is picked out of its output by the client's rule: exactly one line
that begins with "{".

``deny_syscalls`` puts a seccomp filter in front of the whole program (runner
and every helper it starts inherit it), answering the listed system calls
with an errno, to stand in for kernels that lack an interface; a rule
``(errno, argument, mask)`` answers only calls whose argument has one of the
mask's flags, to stand in for a file system that lacks one.
"""

from __future__ import annotations

import base64
import ctypes
import dataclasses
import hashlib
import importlib.machinery
import json
import os
import platform
import stat
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest

RUNNER_PATH = Path(__file__).resolve().parents[2] / "src" / "vorn_sandbox" / "primitive_runner.py"
MODULE_NAME = "vorn_sandbox_primitive_runner"
ENTRY_POINT = "run_primitive"
SOURCE_SUFFIX = importlib.machinery.SOURCE_SUFFIXES[0]

# Numbers of the system calls that the runner needs, on this machine.
SYSCALLS = {
    "x86_64": {"openat2": 437, "landlock_create_ruleset": 444, "renameat2": 316},
    "aarch64": {"openat2": 437, "landlock_create_ruleset": 444, "renameat2": 276},
    "riscv64": {"openat2": 437, "landlock_create_ruleset": 444, "renameat2": 276},
}.get(platform.machine(), {})


def runner_source(path: Path = RUNNER_PATH) -> str:
    return path.read_text(encoding="utf-8")


def installed_runner_source() -> str:
    """The runner text as the installed package ships it."""
    import importlib.resources

    return importlib.resources.files("vorn_sandbox").joinpath("primitive_runner" + SOURCE_SUFFIX).read_text("utf-8")


def bootstrap_program(request: dict[str, Any], source: str | None = None) -> str:
    """The bootstrap program for ``request``, exactly as the client generates it."""
    if source is None:
        source = runner_source()
    encoded = base64.b64encode(source.encode("utf-8")).decode("ascii")
    file_name = MODULE_NAME + SOURCE_SUFFIX
    lines = [
        "",
        "import base64",
        "",
        f"_source = base64.b64decode({encoded!r}).decode(\"utf-8\")",
        "_module_globals = {",
        f"    \"__name__\": {MODULE_NAME!r},",
        f"    \"__file__\": {file_name!r},",
        "    \"_RUNNER_SOURCE\": _source,",
        "}",
        f"exec(compile(_source, {file_name!r}, \"exec\"), _module_globals)",
        "_module_globals[\"_RUNNER_SOURCE\"] = _source",
        "import json",
        "import os",
        "",
        f"_request = json.loads({json.dumps(request)!r})",
        "if _request.get(\"workspace_root\") is None:",
        "    _request[\"workspace_root\"] = os.getcwd()",
        "",
        f"print(json.dumps(_module_globals[{ENTRY_POINT!r}](_request)))",
    ]
    return "\n".join(lines) + "\n"


def command_request(
    argv: list[str],
    workspace_root: str | os.PathLike[str] | None,
    *,
    cwd_components: list[str] | tuple[str, ...] = (),
    env: dict[str, str] | None = None,
    env_allowlist: list[str] | tuple[str, ...] = (),
    max_output_bytes: int = 1048576,
    timeout: float | None = 30.0,
) -> dict[str, Any]:
    """A "command" request in the protocol's key order, with no client checks."""
    return {
        "argv": argv,
        "cwd_components": list(cwd_components),
        "env": dict(env or {}),
        "env_allowlist": list(env_allowlist),
        "max_output_bytes": max_output_bytes,
        "operation": "command",
        "timeout": timeout,
        "workspace_root": None if workspace_root is None else os.fspath(workspace_root),
        "version": 1,
    }


def file_write_request(
    path: str,
    data: bytes,
    workspace_root: str | os.PathLike[str] | None,
    *,
    max_bytes: int = 16777216,
    overwrite: bool = False,
) -> dict[str, Any]:
    """A "file_write" request in the protocol's key order, with no client checks."""
    return {
        "data_b64": base64.b64encode(data).decode("ascii"),
        "max_bytes": max_bytes,
        "operation": "file_write",
        "overwrite": overwrite,
        "path": path,
        "workspace_root": None if workspace_root is None else os.fspath(workspace_root),
        "version": 1,
    }


_AUDIT_ARCH = {"x86_64": 0xC000003E, "aarch64": 0xC00000B7, "riscv64": 0xC00000F3}

# Installs a seccomp filter answering the listed system calls with an errno,
# then runs the program read from standard input as __main__.
_SECCOMP_PRELUDE = """
import ctypes, sys
class Instruction(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint16), ("jt", ctypes.c_uint8), ("jf", ctypes.c_uint8), ("k", ctypes.c_uint32)]
class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Instruction))]
denied = DENIED
code = [(0x20, 0, 0, 4), (0x15, 1, 0, ARCH), (0x06, 0, 0, 0x7FFF0000), (0x20, 0, 0, 0)]
for number, rule in denied.items():
    if isinstance(rule, int):
        code += [(0x15, 0, 1, number), (0x06, 0, 0, 0x00050000 | rule)]
    else:
        # (errno, argument, mask): refused only when that argument has a bit
        # of mask set (its low word, as this machine is little-endian).
        error_number, argument, mask = rule
        code += [(0x15, 0, 4, number), (0x20, 0, 0, 16 + 8 * argument), (0x45, 0, 1, mask),
                 (0x06, 0, 0, 0x00050000 | error_number), (0x06, 0, 0, 0x7FFF0000)]
code.append((0x06, 0, 0, 0x7FFF0000))
filters = (Instruction * len(code))(*[Instruction(*item) for item in code])
program = Program(len(code), filters)
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) != 0 or libc.prctl(22, 2, ctypes.byref(program), 0, 0) != 0:
    raise OSError(ctypes.get_errno(), "cannot install the seccomp filter")
exec(compile(sys.stdin.read(), "<bootstrap>", "exec"), {"__name__": "__main__"})
"""


@dataclasses.dataclass
class Run:
    stdout: str
    stderr: str
    returncode: int
    elapsed: float


@dataclasses.dataclass
class Reply:
    response: dict[str, Any]
    run: Run


def run_program(
    program: str,
    *,
    cwd: str | os.PathLike[str] | None = None,
    env: dict[str, str] | None = None,
    deny_syscalls: dict[int, int | tuple[int, int, int]] | None = None,
    timeout: float = 60.0,
) -> Run:
    """Run a program text in a fresh local interpreter, as a code channel does."""
    if deny_syscalls:
        prelude = _SECCOMP_PRELUDE.replace("DENIED", repr(dict(deny_syscalls))).replace(
            "ARCH", str(_AUDIT_ARCH[platform.machine()])
        )
        argv = [sys.executable, "-c", prelude]
    else:
        argv = [sys.executable, "-"]
    started = time.monotonic()
    completed = subprocess.run(
        argv,
        input=program.encode("utf-8"),
        capture_output=True,
        cwd=cwd,
        env=env,
        timeout=timeout,
    )
    return Run(
        completed.stdout.decode("utf-8", errors="replace"),
        completed.stderr.decode("utf-8", errors="replace"),
        completed.returncode,
        time.monotonic() - started,
    )


def response_line(stdout: str) -> dict[str, Any]:
    """The one reply line, by the client's rule; fails the test otherwise."""
    lines = [line for line in stdout.splitlines() if line.startswith("{")]
    assert len(lines) == 1, f"expected exactly one reply line, got {stdout!r}"
    response = json.loads(lines[0])
    assert isinstance(response, dict)
    return response


def run_request(request: dict[str, Any], *, source: str | None = None, **options: Any) -> Reply:
    """Bootstrap ``request`` around the runner and return its parsed reply."""
    run = run_program(bootstrap_program(request, source), **options)
    assert run.returncode == 0, run.stderr
    return Reply(response_line(run.stdout), run)


def load_runner(source: str | None = None) -> dict[str, Any]:
    """Execute the runner text in a fresh namespace, as the bootstrap does.

    Functions look their helpers up in this namespace, so a test can replace a
    hook or a helper in it for one call.
    """
    if source is None:
        source = runner_source()
    file_name = MODULE_NAME + SOURCE_SUFFIX
    namespace: dict[str, Any] = {"__name__": MODULE_NAME, "__file__": file_name, "_RUNNER_SOURCE": source}
    exec(compile(source, file_name, "exec"), namespace)
    namespace["_RUNNER_SOURCE"] = source
    return namespace


def open_descriptors() -> set[int]:
    alive = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:
            continue  # the listing's own descriptor, closed again by now
        alive.add(int(name))
    return alive


def descriptors_changed_since(before: set[int], within: float = 10.0) -> set[int]:
    """The descriptors opened or closed since ``before`` that stay so. The
    tests' process also runs the local services' threads, whose sockets and
    pipes come and go on their own: those settle, a leak does not."""
    deadline = time.monotonic() + within
    while (changed := open_descriptors() ^ before) and time.monotonic() < deadline:
        time.sleep(0.05)
    return changed


def snapshot(top: str | os.PathLike[str], *, exclude: tuple[str, ...] = ()) -> dict[str, tuple[Any, ...]]:
    """Everything observable about a tree: types, modes, links, sizes, contents."""
    top = os.fspath(top)
    state: dict[str, tuple[Any, ...]] = {}
    for directory, directories, files in os.walk(top, followlinks=False):
        relative_directory = os.path.relpath(directory, top)
        directories[:] = [
            name for name in directories if os.path.normpath(os.path.join(relative_directory, name)) not in exclude
        ]
        for name in directories + files:
            path = os.path.join(directory, name)
            relative = os.path.normpath(os.path.join(relative_directory, name))
            if relative in exclude:
                continue
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                detail: Any = os.readlink(path)
            elif stat.S_ISREG(info.st_mode):
                with open(path, "rb") as handle:
                    detail = hashlib.sha256(handle.read()).hexdigest()
            else:
                detail = None
            state[relative] = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode), info.st_nlink, info.st_size,
                               info.st_mtime_ns, info.st_ino, detail)
    return state


@dataclasses.dataclass
class Arena:
    """A workspace root with neighbours outside it that must never change."""

    top: Path
    root: Path
    outside: Path

    def outside_state(self) -> dict[str, tuple[Any, ...]]:
        return snapshot(self.top, exclude=("ws",))

    def assert_outside_unchanged(self, before: dict[str, tuple[Any, ...]]) -> None:
        after = self.outside_state()
        assert after == before, {
            name: (before.get(name), after.get(name))
            for name in set(before) | set(after)
            if before.get(name) != after.get(name)
        }


@pytest.fixture
def arena(tmp_path: Path) -> Arena:
    top = tmp_path / "arena"
    root = top / "ws"
    outside = top / "outside"
    root.mkdir(parents=True)
    outside.mkdir()
    (outside / "secret.txt").write_bytes(b"outside content\n")
    (outside / "nested").mkdir()
    (outside / "nested" / "deep.txt").write_bytes(b"deep\n")
    (top / "beside.txt").write_bytes(b"beside the root\n")
    return Arena(top, root, outside)


@pytest.fixture
def runner() -> dict[str, Any]:
    return load_runner()


def landlock_abi() -> int:
    libc = ctypes.CDLL(None, use_errno=True)
    number = SYSCALLS.get("landlock_create_ruleset")
    return -1 if number is None else libc.syscall(number, None, 0, 1)


requires_confinement = pytest.mark.skipif(
    not sys.platform.startswith("linux") or not SYSCALLS or landlock_abi() < 3,
    reason="needs Linux with openat2 and Landlock ABI 3",
)


def process_gone(pid: int, within: float = 2.0) -> bool:
    """True once ``pid`` no longer runs (missing, or a zombie awaiting its reaper)."""
    end = time.monotonic() + within
    while True:
        try:
            with open(f"/proc/{pid}/stat", "rb") as handle:
                state = handle.read().rsplit(b")", 1)[1].split()[0]
        except FileNotFoundError:
            return True
        if state in (b"Z", b"X"):
            return True
        if time.monotonic() > end:
            return False
        time.sleep(0.02)
