"""In-sandbox runner of the workspace primitives.

The client ships this file's text inside a generated bootstrap program and
executes it in the sandbox's own interpreter, so it uses the standard library
only.  Every workspace command and file write runs in a fresh helper process
that confines itself with Landlock and ``openat2`` before it touches the
workspace; the interpreter running this module is never restricted.
"""

from __future__ import annotations

import base64
import contextlib
import ctypes
import errno
import json
import math
import os
import platform
import selectors
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path, PurePosixPath

# The runner is compiled and loaded afresh for every primitive, in the
# sandbox's interpreter and again in each file-write helper, so module loading
# is paid on every call.  Annotations stay text (see the __future__ import) and
# need typing only for a type checker; secrets and tempfile are imported by the
# few functions that use them, which spares their imports (hashlib, OpenSSL,
# shutil, random) wherever those functions do not run.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

_CHUNK_SIZE = 65536
_ENV_KEY_CHARACTERS = frozenset("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_")
_DEFAULT_TIMEOUT = 30.0
# Both helpers import modules before they confine themselves.  Isolated mode
# keeps the working directory (often the workspace itself, where a command may
# have left a platform.py or a json.py), PYTHON* variables and the user's site
# directory off the import path; -S skips the site module and its .pth files.
_HELPER_OPTIONS = ("-I", "-S")
_RUNNER_SOURCE: str | None = None

# openat2, landlock_create_ruleset, landlock_add_rule, landlock_restrict_self,
# renameat2 for each machine name that platform.machine() reports.
_SYSCALL_ABI = {
    "aarch64": (437, 444, 445, 446, 276),
    "riscv64": (437, 444, 445, 446, 276),
    "x86_64": (437, 444, 445, 446, 316),
}

_RESOLVE_NO_MAGICLINKS = 0x02
_RESOLVE_NO_SYMLINKS = 0x04
_RESOLVE_BENEATH = 0x08

# renameat2 fails with EEXIST instead of replacing an existing name.
_RENAME_NOREPLACE = 1

_LANDLOCK_CREATE_RULESET = 1
_LANDLOCK_CREATE_RULESET_VERSION = 1
_LANDLOCK_ADD_RULE = 0
_LANDLOCK_RESTRICT_SELF = 0
_LANDLOCK_RULE_PATH_BENEATH = 1

_LANDLOCK_ACCESS_FS_EXECUTE = 1 << 0
_LANDLOCK_ACCESS_FS_WRITE_FILE = 1 << 1
_LANDLOCK_ACCESS_FS_READ_FILE = 1 << 2
_LANDLOCK_ACCESS_FS_READ_DIR = 1 << 3
_LANDLOCK_ACCESS_FS_REMOVE_DIR = 1 << 4
_LANDLOCK_ACCESS_FS_REMOVE_FILE = 1 << 5
_LANDLOCK_ACCESS_FS_MAKE_CHAR = 1 << 6
_LANDLOCK_ACCESS_FS_MAKE_DIR = 1 << 7
_LANDLOCK_ACCESS_FS_MAKE_REG = 1 << 8
_LANDLOCK_ACCESS_FS_MAKE_SOCK = 1 << 9
_LANDLOCK_ACCESS_FS_MAKE_FIFO = 1 << 10
_LANDLOCK_ACCESS_FS_MAKE_BLOCK = 1 << 11
_LANDLOCK_ACCESS_FS_MAKE_SYM = 1 << 12
_LANDLOCK_ACCESS_FS_REFER = 1 << 13
_LANDLOCK_ACCESS_FS_TRUNCATE = 1 << 14
_LANDLOCK_ACCESS_FS_IOCTL_DEV = 1 << 15
_LANDLOCK_ALL = sum(1 << bit for bit in range(16))
_LANDLOCK_BASE = _LANDLOCK_ALL & ~_LANDLOCK_ACCESS_FS_IOCTL_DEV
_LANDLOCK_READ_EXECUTE = (
    _LANDLOCK_ACCESS_FS_EXECUTE | _LANDLOCK_ACCESS_FS_READ_FILE | _LANDLOCK_ACCESS_FS_READ_DIR
)
# Handled but granted nowhere: a device node made inside the workspace would
# reach whatever the device holds (a loop device's backing file, a disk),
# wherever that lies.
_LANDLOCK_DEVICE_NODES = _LANDLOCK_ACCESS_FS_MAKE_CHAR | _LANDLOCK_ACCESS_FS_MAKE_BLOCK
_LANDLOCK_MIN_ABI = 3
_LANDLOCK_IOCTL_ABI = 5

_OPENAT2_POLICY_ERROR = "openat2/platform-policy requirement unavailable"
_WRITE_POLICY_ERROR = "platform cannot safely confine workspace writes"
_PATH_POLICY_ERROR = "platform cannot safely confine workspace paths"

# Errors with which the kernel, or a system-call filter in front of it, says
# that openat2 cannot resolve as asked; anything else is an ordinary failure.
_OPENAT2_UNAVAILABLE = frozenset({errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EPERM, errno.EACCES})


class _OpenHow(ctypes.Structure):
    _fields_ = [
        ("flags", ctypes.c_uint64),
        ("mode", ctypes.c_uint64),
        ("resolve", ctypes.c_uint64),
    ]


class _LandlockRulesetAttr(ctypes.Structure):
    # The second word is the kernel's handled_access_net: leaving it zero
    # keeps the ruleset to file-system rights and the network untouched.
    _fields_ = [
        ("handled_access_fs", ctypes.c_uint64),
        ("handled_access_net", ctypes.c_uint64),
    ]


class _LandlockPathBeneath(ctypes.Structure):
    _fields_ = [
        ("allowed_access", ctypes.c_uint64),
        ("parent_fd", ctypes.c_int),
    ]


def _syscall_numbers() -> tuple[int, int, int, int, int]:
    try:
        return _SYSCALL_ABI[platform.machine()]
    except KeyError as exc:
        raise ValueError(_PATH_POLICY_ERROR) from exc


def _is_linux() -> bool:
    return sys.platform.startswith("linux")


def _raise_errno() -> None:
    error_number = ctypes.get_errno()
    raise OSError(error_number, os.strerror(error_number))


def _open_beneath(root_fd: int, path: str, flags: int, mode: int = 0) -> int:
    if not _is_linux():
        raise ValueError(_OPENAT2_POLICY_ERROR)
    libc = ctypes.CDLL(None, use_errno=True)
    # The raw system call does not get the interpreter's non-inheritable
    # default that os.open gives; without close-on-exec the descriptor would
    # leak into children that other threads of the provider's interpreter
    # start meanwhile.
    how = _OpenHow(flags | os.O_CLOEXEC, mode, _RESOLVE_BENEATH | _RESOLVE_NO_SYMLINKS | _RESOLVE_NO_MAGICLINKS)
    encoded = path.encode()
    openat2 = _syscall_numbers()[0]
    result = libc.syscall(openat2, root_fd, encoded, ctypes.byref(how), ctypes.sizeof(how))
    if result >= 0:
        return result
    error_number = ctypes.get_errno()
    if error_number in _OPENAT2_UNAVAILABLE:
        raise ValueError(_OPENAT2_POLICY_ERROR)
    raise OSError(error_number, os.strerror(error_number))


def _landlock_abi() -> int:
    if not _is_linux():
        raise ValueError(_WRITE_POLICY_ERROR)
    create_ruleset = _syscall_numbers()[1]
    libc = ctypes.CDLL(None, use_errno=True)
    version = libc.syscall(create_ruleset, None, 0, _LANDLOCK_CREATE_RULESET_VERSION)
    if version < 0:
        _raise_errno()
    return version


def _install_landlock(root_fd: int) -> None:
    if not _is_linux():
        raise ValueError(_WRITE_POLICY_ERROR)
    create_ruleset, add_rule, restrict_self = _syscall_numbers()[1:4]
    libc = ctypes.CDLL(None, use_errno=True)
    version = libc.syscall(create_ruleset, None, 0, _LANDLOCK_CREATE_RULESET_VERSION)
    if version < _LANDLOCK_MIN_ABI:
        raise ValueError(_WRITE_POLICY_ERROR + " (Landlock ABI 3 required)")
    handled_access = _LANDLOCK_BASE
    if version >= _LANDLOCK_IOCTL_ABI:
        handled_access |= _LANDLOCK_ACCESS_FS_IOCTL_DEV
    attributes = _LandlockRulesetAttr(handled_access, 0)
    ruleset_fd = libc.syscall(create_ruleset, ctypes.byref(attributes), ctypes.sizeof(attributes), 0)
    if ruleset_fd < 0:
        _raise_errno()
    try:

        def allow_beneath(fd: int, rights: int) -> None:
            rule = _LandlockPathBeneath(rights, fd)
            if libc.syscall(add_rule, ruleset_fd, _LANDLOCK_RULE_PATH_BENEATH, ctypes.byref(rule), 0) < 0:
                _raise_errno()

        allow_beneath(root_fd, handled_access & ~_LANDLOCK_DEVICE_NODES)
        filesystem_root = os.open("/", os.O_PATH | os.O_CLOEXEC)
        try:
            allow_beneath(filesystem_root, _LANDLOCK_READ_EXECUTE)
        finally:
            os.close(filesystem_root)
        # The kernel refuses self-restriction to an unprivileged process
        # that could still gain privileges through exec.
        if libc.prctl(38, 1, 0, 0, 0) < 0:
            _raise_errno()
        if libc.syscall(restrict_self, ruleset_fd, 0) < 0:
            _raise_errno()
    finally:
        os.close(ruleset_fd)


def _replace_beneath(
    root_fd: int, components: tuple[str, ...], temporary_name: str, *, no_replace: bool = False
) -> None:
    """Atomically replace a destination using a freshly root-anchored parent descriptor."""
    parent_path = "/".join(components[:-1]) or "."
    parent_fd = _open_beneath(root_fd, parent_path, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC, 0)
    try:
        _before_replace(parent_fd)
        renameat2 = _syscall_numbers()[4]
        libc = ctypes.CDLL(None, use_errno=True)
        result = libc.syscall(
            renameat2,
            parent_fd,
            ctypes.c_char_p(os.fsencode(temporary_name)),
            parent_fd,
            ctypes.c_char_p(os.fsencode(components[-1])),
            _RENAME_NOREPLACE if no_replace else 0,
        )
        if result < 0:
            error_number = ctypes.get_errno()
            if no_replace and error_number == errno.EINVAL:
                # The temporary and its destination share one directory, so
                # EINVAL here can only mean the flag itself is refused (NFS,
                # some FUSE file systems), which no retry will change.
                raise OSError(
                    error_number,
                    "the file system does not support renameat2 with RENAME_NOREPLACE, "
                    f"which creating a new file needs: {'/'.join(components)}",
                )
            raise OSError(error_number, os.strerror(error_number), components[-1])
    finally:
        os.close(parent_fd)


def _before_replace(parent_fd: int) -> None:
    return None


# The helper runs in a fresh interpreter before exec, so it carries its own
# copy of the confinement code; its numbers come from the tables above so that
# the two cannot drift apart.
_COMMAND_HELPER_HEAD = f'''
import ctypes
import errno
import json
import os
import platform
import sys

_ABI = {_SYSCALL_ABI!r}
_RESOLVE = {_RESOLVE_BENEATH | _RESOLVE_NO_SYMLINKS | _RESOLVE_NO_MAGICLINKS}
_BASE = {_LANDLOCK_BASE}
_IOCTL_DEV = {_LANDLOCK_ACCESS_FS_IOCTL_DEV}
_IOCTL_ABI = {_LANDLOCK_IOCTL_ABI}
_READ_EXECUTE = {_LANDLOCK_READ_EXECUTE}
_DEVICE_NODES = {_LANDLOCK_DEVICE_NODES}
_LANDLOCK_RULE_PATH_BENEATH = {_LANDLOCK_RULE_PATH_BENEATH}
_LANDLOCK_CREATE_RULESET_VERSION = {_LANDLOCK_CREATE_RULESET_VERSION}
_LANDLOCK_MIN_ABI = {_LANDLOCK_MIN_ABI}


class How(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_uint64), ("mode", ctypes.c_uint64), ("resolve", ctypes.c_uint64)]


class Ruleset(ctypes.Structure):
    _fields_ = [("handled_access_fs", ctypes.c_uint64), ("handled_access_net", ctypes.c_uint64)]


class PathRule(ctypes.Structure):
    _fields_ = [("allowed_access", ctypes.c_uint64), ("parent_fd", ctypes.c_int)]


try:
    _OPENAT2, _CREATE_RULESET, _ADD_RULE, _RESTRICT_SELF, _RENAMEAT2 = _ABI[platform.machine()]
except KeyError:
    raise RuntimeError("unsupported Linux syscall ABI") from None
libc = ctypes.CDLL(None, use_errno=True)


def fail():
    error_number = ctypes.get_errno()
    raise OSError(error_number, os.strerror(error_number))


def open_beneath(path, flags):
    how = How(flags, 0, _RESOLVE)
    root = int(os.environ["VORN_SANDBOX_ROOT_FD"])
    result = libc.syscall(_OPENAT2, root, path.encode(), ctypes.byref(how), ctypes.sizeof(how))
    if result < 0:
        error_number = ctypes.get_errno()
        if error_number in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EPERM, errno.EACCES):
            raise RuntimeError('''

_COMMAND_HELPER_OPEN = ''')
        raise OSError(error_number, os.strerror(error_number))
    return result


def landlock(root):
    version = libc.syscall(_CREATE_RULESET, None, 0, _LANDLOCK_CREATE_RULESET_VERSION)
    if version < _LANDLOCK_MIN_ABI:
        raise RuntimeError("platform cannot safely confine workspace writes (Landlock ABI 3 required)")
    handled_access = _BASE | (_IOCTL_DEV if version >= _IOCTL_ABI else 0)
    attributes = Ruleset(handled_access, 0)
    ruleset = libc.syscall(_CREATE_RULESET, ctypes.byref(attributes), ctypes.sizeof(attributes), 0)
    if ruleset < 0:
        fail()
    rule = PathRule(handled_access & ~_DEVICE_NODES, root)
    if libc.syscall(_ADD_RULE, ruleset, _LANDLOCK_RULE_PATH_BENEATH, ctypes.byref(rule), 0) < 0:
        fail()
    top = os.open("/", os.O_PATH | os.O_CLOEXEC)
    try:
        rule = PathRule(_READ_EXECUTE, top)
        if libc.syscall(_ADD_RULE, ruleset, _LANDLOCK_RULE_PATH_BENEATH, ctypes.byref(rule), 0) < 0:
            fail()
    finally:
        os.close(top)
    if libc.prctl(38, 1, 0, 0, 0) < 0:
        fail()
    if libc.syscall(_RESTRICT_SELF, ruleset, 0) < 0:
        fail()
    os.close(ruleset)


root = int(os.environ["VORN_SANDBOX_ROOT_FD"])
cwd = open_beneath('''

_COMMAND_HELPER_EXEC = ''', os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
try:
    landlock(root)
    os.fchdir(cwd)
finally:
    os.close(cwd)
env_fd = int(os.environ["VORN_SANDBOX_ENV_FD"])
with os.fdopen(env_fd, "r", encoding="utf-8") as env_file:
    target_env = json.load(env_file)
if not isinstance(target_env, dict) or not all(
    isinstance(key, str) and isinstance(value, str) for key, value in target_env.items()
):
    raise RuntimeError("target environment must be a string mapping")
# The runner learns through this descriptor that the command could not start
# because its argument vector is too long; the exec closes it otherwise.
status_fd = os.environ.get("VORN_SANDBOX_STATUS_FD")
if status_fd is not None:
    status_fd = int(status_fd)
    os.set_inheritable(status_fd, False)
try:
    os.execvpe('''

_COMMAND_HELPER_TAIL = ''', target_env)
except OSError as exc:
    if exc.errno == errno.E2BIG and status_fd is not None:
        os.write(status_fd, b"E2BIG")
    raise
'''

# The command line that starts the exec helper.  The program itself comes
# from an inherited descriptor: it carries the command's argument vector,
# which as one argument would meet the kernel's 128 KiB limit for a single
# argument long before the command's own limit for its whole vector.
_COMMAND_HELPER_LOADER = (
    "import os\n"
    "with os.fdopen(int(os.environ['VORN_SANDBOX_PROGRAM_FD']), 'rb') as program_file:\n"
    "    program = program_file.read()\n"
    "exec(compile(program, '<vorn-sandbox-exec-helper>', 'exec'))\n"
)


def _command_helper_source(cwd_path: str, argv: list[str]) -> str:
    """Build the tiny exec helper used to establish kernel confinement before argv execution."""
    return (
        _COMMAND_HELPER_HEAD
        + repr(_OPENAT2_POLICY_ERROR)
        + _COMMAND_HELPER_OPEN
        + repr(cwd_path)
        + _COMMAND_HELPER_EXEC
        + repr(argv[0])
        + ", "
        + repr(argv)
        + _COMMAND_HELPER_TAIL
    )


def _error(exc: BaseException) -> dict[str, Any]:
    """Build a failed primitive response without leaking a traceback object."""
    return {"ok": False, "status": "error", "error": f"{type(exc).__name__}: {exc}"}


def _validate_relative_path(path: str) -> tuple[str, ...]:
    """Validate a POSIX-style path beneath a workspace root."""
    if not isinstance(path, str) or not path.strip():
        raise ValueError("workspace path must be a non-empty string")
    if "\0" in path:
        raise ValueError("workspace path must not contain NUL")
    parsed = PurePosixPath(path)
    if parsed.is_absolute() or path.startswith("/") or ".." in parsed.parts:
        raise ValueError(f"path must remain below the workspace root: {path}")
    components = tuple(part for part in parsed.parts if part not in ("", "."))
    if not components:
        raise ValueError(f"path must name a file below the workspace root: {path}")
    return components


def _validate_relative_components(components: Any) -> tuple[str, ...]:
    """Validate already-split workspace-relative directory components."""
    if not isinstance(components, (tuple, list)) or not all(isinstance(item, str) for item in components):
        raise ValueError("cwd_components must be a sequence of strings")
    names = tuple(components)
    for name in names:
        if not name or name in (".", "..") or "/" in name or "\0" in name:
            raise ValueError("cwd_components must be validated workspace-relative names")
    return names


def _validate_positive_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        raise ValueError(f"{name} must be a positive integer")
    return value


def _validate_timeout(value: Any) -> float | None:
    if value is None:
        return _DEFAULT_TIMEOUT
    if isinstance(value, bool):
        raise ValueError("timeout must be a number")
    seconds = float(value)
    if not math.isfinite(seconds):
        raise ValueError("timeout must be finite")
    if seconds <= 0:
        return None
    return seconds


def _directory_flags() -> int:
    """Return flags for descriptor-relative, no-follow workspace traversal."""
    nofollow = getattr(os, "O_NOFOLLOW", None)
    directory = getattr(os, "O_DIRECTORY", None)
    supported = {getattr(function, "__name__", "") for function in getattr(os, "supports_dir_fd", ())}
    if nofollow is None or directory is None or not {"stat", "unlink", "open", "mkdir"} <= supported:
        raise ValueError(_PATH_POLICY_ERROR)
    return os.O_RDONLY | directory | nofollow


def _walk_directories(current_fd: int, components: tuple[str, ...], create_parents: bool) -> int:
    # Takes ownership of current_fd: it is either returned or closed.
    try:
        for name in components:
            try:
                next_fd = os.open(name, _directory_flags(), dir_fd=current_fd)
            except FileNotFoundError:
                if not create_parents:
                    raise
                os.mkdir(name, 0o700, dir_fd=current_fd)
                next_fd = os.open(name, _directory_flags(), dir_fd=current_fd)
            except OSError as exc:
                if exc.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise ValueError("symbolic links are not permitted in a workspace path") from exc
                raise
            os.close(current_fd)
            current_fd = next_fd
    except Exception:
        os.close(current_fd)
        raise
    return current_fd


def _open_directory_fd(root: Path, components: tuple[str, ...], *, create_parents: bool) -> int:
    """Open workspace components through directory descriptors without symlink traversal."""
    flags = _directory_flags()
    try:
        current_fd = os.open(root, flags)
    except OSError as exc:
        raise ValueError(f"cannot open workspace root safely: {root}") from exc
    return _walk_directories(current_fd, components, create_parents)


def _open_directory_fd_from_root_fd(root_fd: int, components: tuple[str, ...], *, create_parents: bool) -> int:
    """Open workspace components from a stable root descriptor."""
    return _walk_directories(os.dup(root_fd), components, create_parents)


def _resolve_root(value: Any) -> Path:
    root = Path(value).expanduser().resolve(strict=True)
    if not root.is_dir():
        raise ValueError(f"workspace root is not a directory: {value}")
    return root


# Bounds the re-inspections when the destination keeps appearing between
# the inspection and the publication of a new file.
_CREATE_ATTEMPTS = 4

# Longest file name, in bytes, that the usual Linux file systems accept.
_NAME_MAX = 255
# The 16 digits of a temporary's random token and its ".tmp".
_TEMPORARY_SUFFIX_LENGTH = 20


def _temporary_prefix(name: str, *, fit: bool) -> str:
    # ".", the destination's name and ".quorvel-"; the token and ".tmp"
    # follow.  Fitted, the name is shortened until the whole temporary name
    # stays within the name limit, so that a new file of any valid name can
    # be written through a temporary.
    while fit and name and len(os.fsencode(f".{name}.quorvel-")) + _TEMPORARY_SUFFIX_LENGTH > _NAME_MAX:
        name = name[:-1]
    return f".{name}.quorvel-"


def _run_file_write(params: dict[str, Any], *, root_fd_override: int | None = None) -> dict[str, Any]:
    """Write bounded bytes to a confined workspace-relative destination."""
    started = time.monotonic()
    components = _validate_relative_path(params["path"])
    max_bytes = _validate_positive_int(params["max_bytes"], "max_bytes")
    encoded = params["data_b64"]
    if not isinstance(encoded, str):
        raise ValueError("data must be base64 text")
    data = base64.b64decode(encoded, validate=True)
    if len(data) > max_bytes:
        raise ValueError(f"data exceeds the configured write limit of {max_bytes} bytes")
    if root_fd_override is None:
        root = _resolve_root(params["workspace_root"])
        root_fd = os.open(root, _directory_flags())
    else:
        root = None
        root_fd = os.dup(root_fd_override)
    try:
        if root is None:
            parent_fd = _open_directory_fd_from_root_fd(root_fd, components[:-1], create_parents=True)
        else:
            parent_fd = _open_directory_fd(root, components[:-1], create_parents=True)
    except Exception:
        os.close(root_fd)
        raise
    name = components[-1]
    joined = "/".join(components)
    descriptor = -1
    identity: tuple[int, int] | None = None
    temporary_name: str | None = None
    try:
        existing = _inspect_destination(parent_fd, name, params)
        overwrite = params["overwrite"]
        nofollow = getattr(os, "O_NOFOLLOW", None)
        if nofollow is None:
            raise ValueError(_WRITE_POLICY_ERROR)
        # New files go through a temporary as replacements do: whatever ends
        # the writer (its deadline, the OOM killer, a signal from a background
        # command), the destination holds either nothing new or the whole file.
        import secrets

        prefix = _temporary_prefix(name, fit=existing is None)
        for _ in range(8):
            candidate = f"{prefix}{secrets.token_hex(8)}.tmp"
            path = "/".join((*components[:-1], candidate))
            try:
                descriptor = _open_beneath(root_fd, path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | nofollow, 0o600)
            except FileExistsError:
                continue
            temporary_name = candidate
            identity = _identity(os.fstat(descriptor))
            break
        if descriptor < 0 or temporary_name is None:
            raise FileExistsError("could not allocate an atomic workspace temporary")
        if existing is not None:
            os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))
        opened_stat = os.fstat(descriptor)
        if not stat.S_ISREG(opened_stat.st_mode):
            raise ValueError("destination is not a regular file")
        if opened_stat.st_nlink > 1:
            raise ValueError("refusing to write a multi-linked destination")
        # A new file stays open until it is published, so that a name that
        # appears meanwhile and may be replaced can lend it its mode.
        with os.fdopen(descriptor, "wb", closefd=False) as stream:
            written = stream.write(data)
            stream.flush()
        os.fsync(descriptor)
        for attempt in range(_CREATE_ATTEMPTS):
            if existing is not None:
                # A replacing rename comes only after the close: a writer killed
                # at its deadline is cleaned up by removing the destination it
                # still holds open, which must never be a file that has taken
                # an existing file's place.
                os.close(descriptor)
                descriptor = -1
            try:
                _replace_beneath(root_fd, components, temporary_name, no_replace=existing is None)
                break
            except FileExistsError as exc:
                # Someone else created the name since it was inspected: never
                # clobbered without overwrite; with it, that file is inspected
                # and replaced like any existing destination.
                if existing is not None:
                    raise
                if not overwrite:
                    raise FileExistsError(f"destination already exists: {params['path']}") from exc
                if attempt == _CREATE_ATTEMPTS - 1:
                    raise
                existing = _inspect_destination(parent_fd, name, params)
                if existing is not None:
                    os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))
        temporary_name = None
        if descriptor >= 0:
            os.close(descriptor)
            descriptor = -1
        os.fsync(parent_fd)
        return {
            "ok": True,
            "status": "success",
            "path": joined,
            "bytes_written": written,
            "overwritten": existing is not None,
            "duration_ms": int((time.monotonic() - started) * 1000),
            "error": "",
        }
    except Exception:
        if descriptor >= 0:
            with contextlib.suppress(OSError):
                os.close(descriptor)
        if temporary_name is not None:
            _unlink_own_file(root_fd, parent_fd, components, temporary_name, identity)
        raise
    finally:
        os.close(parent_fd)
        os.close(root_fd)


def _identity(status: os.stat_result) -> tuple[int, int]:
    return status.st_dev, status.st_ino


def _unlink_own_file(
    root_fd: int, parent_fd: int, components: tuple[str, ...], name: str, identity: tuple[int, int] | None
) -> None:
    # The file was created through a fresh resolution beneath the root, which
    # a concurrent rename can point at another directory than the walk's: look
    # in both, and remove the name only while it still is the file this write
    # created, never one that someone else put there.
    if identity is None:
        return
    parent_path = "/".join(components[:-1]) or "."
    directories = [parent_fd]
    with contextlib.suppress(OSError, ValueError):
        directories.append(_open_beneath(root_fd, parent_path, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC))
    try:
        for directory in directories:
            with contextlib.suppress(OSError):
                if _identity(os.stat(name, dir_fd=directory, follow_symlinks=False)) == identity:
                    os.unlink(name, dir_fd=directory)
                    return
    finally:
        for directory in directories[1:]:
            os.close(directory)


def _inspect_destination(parent_fd: int, name: str, params: dict[str, Any]) -> os.stat_result | None:
    try:
        existing = os.stat(name, dir_fd=parent_fd, follow_symlinks=False)
    except FileNotFoundError:
        return None
    if stat.S_ISLNK(existing.st_mode):
        raise ValueError("refusing to write through a symbolic-link destination")
    if stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(f"destination is a directory: {params['path']}")
    if not params["overwrite"]:
        raise FileExistsError(f"destination already exists: {params['path']}")
    if existing.st_nlink > 1:
        raise ValueError("refusing to overwrite a multi-linked destination")
    return existing


def run_file_write(params: dict[str, Any]) -> dict[str, Any]:
    return _run_file_write(params)


_FILE_WRITE_HELPER = '''
import json
import os
import sys

root_fd = int(os.environ["VORN_SANDBOX_ROOT_FD"])
source_fd = int(os.environ["VORN_SANDBOX_SOURCE_FD"])
with os.fdopen(source_fd, "r", encoding="utf-8") as source_file:
    source = source_file.read()
globals_ = {"__name__": "vorn_sandbox_primitive_runner"}
globals_["__file__"] = globals_["__name__"] + ".py"
exec(compile(source, globals_["__file__"], "exec"), globals_)
try:
    request = json.load(sys.stdin)
    globals_["_install_landlock"](root_fd)
    response = globals_["_run_file_write"](request, root_fd_override=root_fd)
except BaseException as exc:
    response = globals_["_error"](exc)
print(json.dumps(response), flush=True)
'''


def _file_write_helper_source() -> str:
    """Build the one-shot helper that installs Landlock before filesystem mutation."""
    return _FILE_WRITE_HELPER


def _remove_abandoned_files(root_fd: int, params: dict[str, Any], held: frozenset[tuple[int, int]]) -> None:
    # A helper that was killed cannot clean up after itself.  Removed are
    # names of the exact temporary form for this destination, and the
    # destination itself only while it is a file that the stopped helper still
    # held open: the only file the helper ever holds open at the destination
    # name is a new one that it has just published there without replacing
    # anything, so that file is this write's own, and the write is reported
    # as failed.  Everything is reached through the symlink-free walk and
    # never followed.
    try:
        components = _validate_relative_path(params.get("path"))
        parent_fd = _open_directory_fd_from_root_fd(root_fd, components[:-1], create_parents=False)
    except (OSError, ValueError):
        return
    try:
        with contextlib.suppress(OSError):
            if _identity(os.stat(components[-1], dir_fd=parent_fd, follow_symlinks=False)) in held:
                os.unlink(components[-1], dir_fd=parent_fd)
        prefixes = {_temporary_prefix(components[-1], fit=fit) for fit in (False, True)}
        for entry in os.listdir(parent_fd):
            for prefix in prefixes:
                token = entry[len(prefix) : -len(".tmp")]
                if (
                    entry.startswith(prefix)
                    and entry.endswith(".tmp")
                    and len(token) == 16
                    and all(character in "0123456789abcdef" for character in token)
                ):
                    with contextlib.suppress(OSError):
                        if stat.S_ISREG(os.stat(entry, dir_fd=parent_fd, follow_symlinks=False).st_mode):
                            os.unlink(entry, dir_fd=parent_fd)
                    break
    finally:
        os.close(parent_fd)


# Bytes that json.dumps, with its default ASCII-only output, copies unchanged
# into a string: printable ASCII except the quote and the backslash.
_JSON_VERBATIM_BYTES = bytes(code for code in range(0x20, 0x7F) if code not in b'"\\')


def _json_request_bytes(params: dict[str, Any]) -> bytes:
    # The same bytes as json.dumps(params).encode("utf-8").  A write request
    # carries up to 22 million characters of base64, which the encoder would
    # escape one character at a time into a new text and then copy again to
    # encode it; a text that needs no escaping is copied in as it is instead.
    if type(params) is not dict:
        return json.dumps(params).encode("utf-8")
    pieces = []
    for key, value in params.items():
        if type(key) is not str:
            return json.dumps(params).encode("utf-8")
        pieces.append(b", " if pieces else b"{")
        pieces.append(json.dumps(key).encode("ascii"))
        pieces.append(b": ")
        if type(value) is str and value.isascii():
            raw = value.encode("ascii")
            if not raw.translate(None, _JSON_VERBATIM_BYTES):
                pieces += (b'"', raw, b'"')
                continue
        pieces.append(json.dumps(value).encode("ascii"))
    pieces.append(b"}" if pieces else b"{}")
    return b"".join(pieces)


def _run_restricted_file_write(params: dict[str, Any]) -> dict[str, Any]:
    """Run file mutation in a fresh process so Landlock never affects a provider kernel."""
    root = _resolve_root(params["workspace_root"])
    root_fd = os.open(root, _directory_flags())
    try:
        source = _RUNNER_SOURCE
        if source is None:
            source = Path(__file__).read_text(encoding="utf-8")
        import tempfile

        with tempfile.TemporaryFile("w+b") as source_file:
            source_file.write(source.encode("utf-8"))
            source_file.flush()
            source_file.seek(0)
            process = _spawn_process(
                [sys.executable, *_HELPER_OPTIONS, "-c", _file_write_helper_source()],
                deadline=time.monotonic() + _DEFAULT_TIMEOUT,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                env={},
                shell=False,
                start_new_session=True,
                pass_fds=(root_fd, source_file.fileno()),
                pass_fd_env={"VORN_SANDBOX_ROOT_FD": 0, "VORN_SANDBOX_SOURCE_FD": 1},
            )
            try:
                stdout, stderr = process.communicate(_json_request_bytes(params), timeout=_DEFAULT_TIMEOUT)
            except subprocess.TimeoutExpired:
                _remove_abandoned_files(root_fd, params, _abandon_helper(process))
                return _error(TimeoutError("file-write helper exceeded its deadline"))
            except BaseException:
                # Whatever broke the exchange, the helper must not outlive it.
                _remove_abandoned_files(root_fd, params, _abandon_helper(process))
                raise
        if process.returncode != 0:
            _remove_abandoned_files(root_fd, params, frozenset())
            detail = stderr.decode("utf-8", errors="replace").strip()
            return _error(RuntimeError(detail or f"file-write helper exited with code {process.returncode}"))
        try:
            response = json.loads(stdout.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise ValueError("file-write helper returned malformed JSON") from exc
        if not isinstance(response, dict):
            raise ValueError("file-write helper response must be an object")
        return response
    finally:
        os.close(root_fd)


def _abandon_helper(process: subprocess.Popen[bytes]) -> frozenset[tuple[int, int]]:
    """Kill the helper and its group; answer the regular files it held open."""
    held = _files_held_while_stopped(process)
    _kill_process_group(process, timeout=1.0)
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream is not None:
            with contextlib.suppress(OSError):
                stream.close()
    return held


def _files_held_while_stopped(process: subprocess.Popen[bytes]) -> frozenset[tuple[int, int]]:
    # Looked at only once the helper is stopped: a running one could still
    # close its file and rename it over the destination after the look.
    # Whatever is uncertain answers the empty set, so that nothing but
    # temporaries is removed.  The helper is not yet reaped, so its process
    # id cannot name another process meanwhile.
    try:
        os.kill(process.pid, signal.SIGSTOP)
    except OSError:
        return frozenset()
    give_up = time.monotonic() + 1.0
    while True:
        try:
            with open(f"/proc/{process.pid}/stat", "rb") as status_file:
                state = status_file.read().rpartition(b")")[2].split()[0]
        except (OSError, IndexError):
            return frozenset()
        if state in (b"T", b"t"):
            break
        if state in (b"Z", b"X") or time.monotonic() >= give_up:
            return frozenset()
        time.sleep(0.01)
    held: set[tuple[int, int]] = set()
    descriptors = f"/proc/{process.pid}/fd"
    try:
        names = os.listdir(descriptors)
    except OSError:
        return frozenset()
    for name in names:
        with contextlib.suppress(OSError):
            status = os.stat(f"{descriptors}/{name}")
            if stat.S_ISREG(status.st_mode):
                held.add(_identity(status))
    return frozenset(held)


class _BoundedCapture:
    """Accumulate only a configured prefix of a process stream."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.chunks: list[bytes] = []
        self.captured = 0
        self.observed = 0
        self.truncated = False

    def append(self, chunk: bytes) -> None:
        room = max(0, self.limit - self.captured)
        self.observed += len(chunk)
        kept = chunk[:room]
        if kept:
            self.chunks.append(kept)
            self.captured += len(kept)
        if len(chunk) > room:
            self.truncated = True

    def value(self) -> bytes:
        return b"".join(self.chunks)


def _child_environment(inherited: dict[str, str], overrides: Any, allowlist: Any) -> dict[str, str]:
    if not isinstance(overrides, dict) or not isinstance(allowlist, list):
        raise ValueError("env must be a mapping and env_allowlist must be a list")
    environment: dict[str, str] = {}
    for name in allowlist:
        if not isinstance(name, str):
            raise ValueError("environment allowlist entries must be strings")
        if name in inherited:
            environment[name] = inherited[name]
    for key, value in overrides.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise ValueError("environment keys and values must be strings")
        if not key or "\0" in key or "\0" in value:
            raise ValueError("environment keys and values must be non-empty strings without NUL")
        if any(character not in _ENV_KEY_CHARACTERS for character in key):
            raise ValueError(f"environment key contains unsupported characters: {key}")
        environment[key] = value
    return environment


def _remaining_timeout(deadline: float | None) -> float | None:
    if deadline is None:
        return None
    return max(0.0, deadline - time.monotonic())


def _kill_process_group(process: subprocess.Popen[bytes], *, timeout: float | None) -> bool:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    except OSError:
        try:
            process.kill()
        except ProcessLookupError:
            pass
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.poll()
        return False
    return True


def _drain_streams(
    selector: selectors.BaseSelector,
    captures: tuple[_BoundedCapture, _BoundedCapture],
    *,
    deadline: float,
) -> tuple[bool, bool]:
    while selector.get_map() and time.monotonic() < deadline:
        events = selector.select(max(0.0, deadline - time.monotonic()))
        if not events:
            break
        for key, _mask in events:
            stream = key.fileobj
            assert not isinstance(stream, int)
            chunk = os.read(stream.fileno(), _CHUNK_SIZE)
            if chunk:
                key.data.append(chunk)
                continue
            selector.unregister(stream)
            close = getattr(stream, "close", None)
            if close is not None:
                close()
    still_open = {key.data for key in selector.get_map().values()}
    return captures[0] not in still_open, captures[1] not in still_open


def _after_popen(process: subprocess.Popen[bytes]) -> None:
    return None


def _close_all(fds: Any) -> None:
    # One descriptor that cannot be closed must not keep the others open.
    for fd in fds:
        with contextlib.suppress(OSError):
            os.close(fd)


def _spawn_process(argv: list[str], *, deadline: float | None, **kwargs: Any) -> subprocess.Popen[bytes]:
    inherited_fds = tuple(kwargs.get("pass_fds", ()))
    pass_fd_env = kwargs.pop("pass_fd_env", {})
    # Until the setup thread takes them over, the duplicates are closed here
    # on any failure, one that stops the duplication part-way included: the
    # interpreter is long-lived and must not keep them.
    duplicates: list[int] = []
    try:
        for fd in inherited_fds:
            duplicates.append(os.dup(fd))
        owned_fds = tuple(duplicates)
        if inherited_fds:
            kwargs["pass_fds"] = owned_fds
            if isinstance(kwargs.get("env"), dict):
                env = dict(kwargs["env"])
                if pass_fd_env:
                    for name, index in pass_fd_env.items():
                        env[name] = str(owned_fds[index])
                else:
                    env["VORN_SANDBOX_ROOT_FD"] = str(owned_fds[0])
                kwargs["env"] = env
        condition = threading.Condition()
        state: dict[str, Any] = {"phase": "starting", "popen_returned": False, "process": None, "error": None}
    except BaseException:
        _close_all(duplicates)
        raise

    def launch() -> None:
        process = None
        try:
            try:
                process = subprocess.Popen(argv, **kwargs)
                with condition:
                    state["popen_returned"] = True
                    condition.notify_all()
                _after_popen(process)
                with condition:
                    if state["phase"] != "timeout":
                        state["process"] = process
                        state["phase"] = "ready"
                        condition.notify_all()
                        return
                    state["phase"] = "launcher-cleanup"
                    condition.notify_all()
                _kill_process_group(process, timeout=1.0)
                for stream in (process.stdout, process.stderr):
                    if stream is not None:
                        stream.close()
                with condition:
                    state["phase"] = "cleaned"
                    condition.notify_all()
            except BaseException as exc:
                # Even when the kill itself fails, a final phase is recorded,
                # or a caller without a deadline would wait forever.
                try:
                    if process is not None:
                        with condition:
                            handed_to_caller = state["phase"] == "ready"
                            if not handed_to_caller:
                                state["phase"] = "launcher-cleanup"
                        if not handed_to_caller:
                            _kill_process_group(process, timeout=1.0)
                except BaseException as cleanup_error:  # noqa: BLE001 - reported on the recorded error
                    add_note = getattr(exc, "add_note", None)
                    if add_note is not None:
                        add_note(f"killing the unclaimed process failed: {cleanup_error!r}")
                with condition:
                    state["error"] = exc
                    state["phase"] = "error"
                    condition.notify_all()
        finally:
            _close_all(owned_fds)

    thread = threading.Thread(target=launch, name="vorn-sandbox-process-setup", daemon=True)
    try:
        thread.start()
    except BaseException:
        _close_all(owned_fds)
        raise
    wait = None if deadline is None else max(0.0, deadline - time.monotonic())
    with condition:
        while True:
            phase = state["phase"]
            if phase == "ready":
                return state["process"]
            if phase == "error":
                raise state["error"]
            if phase == "launcher-cleanup":
                # A step after Popen failed and the setup thread is killing the
                # process it could not hand over; it always goes on to record
                # the error, within its one-second kill budget, and notifies.
                condition.wait()
                continue
            if phase != "starting":
                raise RuntimeError(f"process launch ended in an unexpected phase: {phase}")
            if condition.wait(wait):
                if wait is not None:
                    wait = max(0.0, deadline - time.monotonic())
                continue
            if state["phase"] == "ready":
                # The hand-off landed in the instant the wait gave up: the
                # process is ours now and must not be left without an owner.
                process = state["process"]
                _kill_process_group(process, timeout=1.0)
                for stream in (process.stdin, process.stdout, process.stderr):
                    if stream is not None:
                        with contextlib.suppress(OSError):
                            stream.close()
                raise subprocess.TimeoutExpired(argv, wait)
            if state["phase"] != "starting":
                continue
            state["phase"] = "timeout"
            condition.notify_all()
            if state["popen_returned"]:
                cleanup_deadline = time.monotonic() + 1.0
                while state["phase"] not in ("error", "cleaned"):
                    remaining = cleanup_deadline - time.monotonic()
                    if remaining <= 0:
                        break
                    condition.wait(remaining)
            raise subprocess.TimeoutExpired(argv, wait)


def _exec_status(status_fd: int) -> bytes:
    # Read once the helper has ended: what it wrote before exiting is there,
    # and an empty pipe means that the exec happened or failed otherwise.
    try:
        return os.read(status_fd, 16)
    except BlockingIOError:
        return b""


def run_command(params: dict[str, Any]) -> dict[str, Any]:
    started = time.monotonic()
    argv = params["argv"]
    if not isinstance(argv, list) or not argv or not all(isinstance(item, str) for item in argv):
        raise ValueError("argv must be a non-empty sequence of strings")
    if any("\0" in item for item in argv):
        raise ValueError("argv must not contain NUL")
    root = Path(params["workspace_root"]).expanduser().resolve(strict=True)
    if not root.is_dir():
        raise ValueError(f"workspace root is not a directory: {params['workspace_root']}")
    cwd_path_components = _validate_relative_components(params.get("cwd_components") or ())
    if not os.path.isdir("/proc/self/fd"):
        raise ValueError("platform cannot safely confine command working directories")
    child_env = _child_environment(dict(os.environ), params.get("env"), params.get("env_allowlist"))
    stdout = _BoundedCapture(_validate_positive_int(params["max_output_bytes"], "max_output_bytes"))
    stderr = _BoundedCapture(_validate_positive_int(params["max_output_bytes"], "max_output_bytes"))
    timeout = _validate_timeout(params.get("timeout"))
    deadline = None if timeout is None else started + timeout

    root_fd = os.open(root, _directory_flags())
    cwd_relative = "/".join(cwd_path_components) or "."
    try:
        cwd_fd = _open_beneath(root_fd, cwd_relative, _directory_flags())
    except Exception:
        os.close(root_fd)
        raise
    cwd = f"/proc/self/fd/{cwd_fd}"
    process: subprocess.Popen[bytes] | None = None
    streams: list[Any] = []
    selector: selectors.BaseSelector | None = None
    status_read = -1
    exit_code: int | None = None
    timed_out = False
    stdout_count_complete = True
    stderr_count_complete = True
    try:
        helper_source = _command_helper_source(cwd_relative, argv)
        import tempfile

        status_read, status_write = os.pipe()
        try:
            os.set_blocking(status_read, False)
            with tempfile.TemporaryFile("w+b") as environment_file, tempfile.TemporaryFile("w+b") as program_file:
                environment_file.write(json.dumps(child_env).encode("utf-8"))
                environment_file.flush()
                environment_file.seek(0)
                program_file.write(helper_source.encode("utf-8"))
                program_file.flush()
                program_file.seek(0)
                process = _spawn_process(
                    [sys.executable, *_HELPER_OPTIONS, "-c", _COMMAND_HELPER_LOADER],
                    deadline=deadline,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    cwd=None,
                    env={},
                    shell=False,
                    start_new_session=True,
                    bufsize=0,
                    pass_fds=(root_fd, environment_file.fileno(), program_file.fileno(), status_write),
                    pass_fd_env={
                        "VORN_SANDBOX_ROOT_FD": 0,
                        "VORN_SANDBOX_ENV_FD": 1,
                        "VORN_SANDBOX_PROGRAM_FD": 2,
                        "VORN_SANDBOX_STATUS_FD": 3,
                    },
                )
        finally:
            os.close(status_write)
        if process.stdout is None or process.stderr is None:
            raise AssertionError("command pipes are missing")
        streams = [process.stdout, process.stderr]
        selector = selectors.DefaultSelector()
        selector.register(process.stdout, selectors.EVENT_READ, stdout)
        selector.register(process.stderr, selectors.EVENT_READ, stderr)

        def expire() -> None:
            nonlocal timed_out, stdout_count_complete, stderr_count_complete
            assert process is not None and selector is not None
            _kill_process_group(process, timeout=_remaining_timeout(deadline))
            stdout_count_complete, stderr_count_complete = _drain_streams(
                selector, (stdout, stderr), deadline=time.monotonic() + 1.0
            )
            timed_out = True

        while selector.get_map():
            wait = None if deadline is None else deadline - time.monotonic()
            if wait is not None and wait <= 0:
                expire()
                break
            events = selector.select(wait)
            if not events:
                expire()
                break
            for key, _mask in events:
                stream = key.fileobj
                if isinstance(stream, int):
                    raise AssertionError("selector holds a bare descriptor")
                chunk = os.read(stream.fileno(), _CHUNK_SIZE)
                if chunk:
                    key.data.append(chunk)
                    continue
                selector.unregister(stream)
                close = getattr(stream, "close", None)
                if close is not None:
                    close()
        else:
            try:
                process.wait(timeout=_remaining_timeout(deadline))
            except subprocess.TimeoutExpired:
                expire()
        exit_code = process.returncode
        if exit_code is None and timed_out:
            exit_code = -signal.SIGKILL
        if timed_out:
            status = "timeout"
            error = f"command exceeded timeout of {timeout} seconds"
        elif exit_code == 0:
            status = "success"
            error = ""
        else:
            status = "error"
            error = f"command exited with code {exit_code}"
            if _exec_status(status_read) == b"E2BIG":
                error = f"argument vector too long to start command {argv[0]!r}"
        return {
            "ok": status == "success",
            "status": status,
            "exit_code": exit_code,
            "stdout_b64": base64.b64encode(stdout.value()).decode("ascii"),
            "stderr_b64": base64.b64encode(stderr.value()).decode("ascii"),
            "stdout_byte_count": stdout.observed,
            "stderr_byte_count": stderr.observed,
            "stdout_captured_byte_count": stdout.captured,
            "stderr_captured_byte_count": stderr.captured,
            "stdout_truncated": stdout.truncated,
            "stderr_truncated": stderr.truncated,
            "stdout_byte_count_complete": stdout_count_complete,
            "stderr_byte_count_complete": stderr_count_complete,
            "timed_out": timed_out,
            "cwd": cwd,
            "duration_ms": int((time.monotonic() - started) * 1000),
            "error": error,
        }
    finally:
        # Whatever the outcome, nothing of the command outlives the call: a
        # background process that closed its pipes is still in the group after
        # the leader has been reaped, and the kernel does not give the group's
        # number to another group while any member lives.
        if process is not None:
            _kill_process_group(process, timeout=_remaining_timeout(deadline))
        for stream in streams:
            stream.close()
        if selector is not None:
            selector.close()
        if status_read >= 0:
            os.close(status_read)
        os.close(cwd_fd)
        os.close(root_fd)


def run_primitive(params: dict[str, Any]) -> dict[str, Any]:
    """Dispatch a versioned primitive request and convert failures to data."""
    try:
        version = params.get("version")
        if version != 1:
            raise ValueError(f"unsupported primitive protocol version: {params.get('version')}")
        operation = params.get("operation")
        if operation == "file_write":
            return _run_restricted_file_write(params)
        if operation == "command":
            return run_command(params)
        raise ValueError(f"unsupported primitive operation: {operation}")
    except Exception as exc:
        return _error(exc)
