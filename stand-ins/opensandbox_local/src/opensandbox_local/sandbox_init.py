"""First process of a sandbox: builds its root, starts its daemons, reaps.

With isolation it runs as PID 1 of fresh mount, network and PID namespaces
(made by ``unshare``, after a user namespace of its own where the server is
not root): it makes every mount private before it binds anything,
so nothing it mounts can show up on the host, brings up the sandbox's own
loopback, binds the host's system directories and the Python installation
read-only into the sandbox root, mounts a ``/proc`` of its own and chroots.
When it dies, the kernel ends every process of the sandbox with it.

Without isolation (namespaces refused, or turned off) it runs in a process
group of its own with the sandbox directory as working directory; paths inside
the sandbox are then the host's. It is then a child subreaper, so that whatever
the sandbox leaves behind comes back to it, and kills all of that when it ends.

Its standard input is its lifeline: the config is the first line, and end of
file means the server is gone, however it ended; the sandbox then ends.
"""

from __future__ import annotations

import ctypes
import json
import os
import signal
import subprocess
import sys
import threading
import time

_SYSTEM_DIRS = ("bin", "sbin", "lib", "lib32", "lib64", "libx32", "usr", "etc")
_PR_SET_CHILD_SUBREAPER = 36
_MS_RDONLY, _MS_REMOUNT, _MS_BIND, _MS_STRICTATIME = 1, 32, 4096, 1 << 24
# Flags of a mount that a user namespace may not drop when it remounts a bind
# of it: a read-only remount must name them again or the kernel says EPERM.
# As statvfs reports them, and as mount(2) takes them.
_LOCKED_FLAGS = ((os.ST_NOSUID, 2), (os.ST_NODEV, 4), (os.ST_NOEXEC, 8), (os.ST_NOATIME, 1024),
                 (os.ST_NODIRATIME, 2048), (os.ST_RELATIME, 1 << 21))


def _run(*argv: str) -> None:
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _bind_readonly(source: str, root: str) -> None:
    target = root + source
    os.makedirs(target, exist_ok=True)
    _run("mount", "--rbind", source, target)
    # mount(2) itself rather than mount(8): some mount programs carry the
    # flags over on their own and some do not.
    flags = os.statvfs(target).f_flag
    wanted = _MS_REMOUNT | _MS_BIND | _MS_RDONLY
    wanted |= sum(ms for st, ms in _LOCKED_FLAGS if flags & st)
    if not flags & (os.ST_NOATIME | os.ST_RELATIME):
        wanted |= _MS_STRICTATIME
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(None, target.encode(), None, wanted, None) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"read-only remount of {target}: {os.strerror(errno)}")


def _build_root(root: str) -> None:
    # Private first: without it a bind below could propagate to the host.
    _run("mount", "--make-rprivate", "/")
    _run("ip", "link", "set", "lo", "up")
    for name in _SYSTEM_DIRS:
        host = "/" + name
        target = os.path.join(root, name)
        if os.path.islink(host):
            if not os.path.lexists(target):
                os.symlink(os.readlink(host), target)
        elif os.path.isdir(host):
            _bind_readonly(host, root)
    # The interpreter, and this package where it is installed outside it
    # (an editable install), at the same paths as on the host.
    package_home = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    wanted = {os.path.realpath(sys.prefix), os.path.realpath(sys.base_prefix), package_home}
    for path in sorted(wanted):
        covered = any(path.startswith(other + "/") for other in wanted)
        if not covered and not any(path.startswith("/" + name + "/") for name in _SYSTEM_DIRS):
            _bind_readonly(path, root)
    os.makedirs(root + "/dev", exist_ok=True)
    _run("mount", "--rbind", "/dev", root + "/dev")
    os.makedirs(root + "/proc", exist_ok=True)
    _run("mount", "-t", "proc", "proc", root + "/proc")
    os.chroot(root)
    os.chdir("/")


def _prepare_dirs(root: str) -> None:
    for path, mode in (("tmp", 0o1777), ("root", 0o700), ("run", 0o755), ("opt/opensandbox", 0o755)):
        os.makedirs(os.path.join(root, path), exist_ok=True)
        os.chmod(os.path.join(root, path), mode)


def _clean_signals() -> None:
    # Ignored signals survive exec, and so does the mask: a server started
    # with `nohup ... &` ignores SIGINT and SIGQUIT, and every sandbox process
    # would too, deaf to the interrupts that the sandbox's API sends.
    signal.pthread_sigmask(signal.SIG_SETMASK, [])
    for sig in signal.valid_signals():
        if sig not in (signal.SIGKILL, signal.SIGSTOP):
            try:
                signal.signal(sig, signal.SIG_DFL)
            except (OSError, ValueError):
                pass


def _descendants() -> set[int]:
    # No /proc/PID/task/TID/children on every kernel: parents from stat.
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as handle:
                    stat = handle.read()
            except OSError:
                continue
            parents[int(entry)] = int(stat[stat.rindex(b")") + 2:].split()[1])
    found, frontier = set(), {os.getpid()}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier} - found
        found |= frontier
    return found


def _end(isolate: bool) -> None:
    # As PID 1 of its namespace, its exit makes the kernel kill the rest.
    # Without one, the orphans of the sandbox are its children (it is their
    # subreaper): kill what it finds until nothing is left to reap.
    if not isolate:
        while True:
            for pid in _descendants():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                break
    os._exit(0)


def _watch_lifeline() -> None:
    while os.read(0, 4096):
        pass
    # The main thread ends the sandbox: it is the one that reaps.
    os.kill(os.getpid(), signal.SIGTERM)


def main() -> None:
    _clean_signals()
    config = json.loads(os.fdopen(0, "rb", buffering=0, closefd=False).readline())
    isolate = config["isolate"]
    signal.signal(signal.SIGTERM, lambda *_: _end(isolate))
    if not isolate:
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            print(f"cannot become a child subreaper: {os.strerror(ctypes.get_errno())}",
                  file=sys.stderr)
    threading.Thread(target=_watch_lifeline, daemon=True).start()
    root = config["root"]
    _prepare_dirs(root)
    if isolate:
        _build_root(root)
        inside = "/"
    else:
        inside = root
        os.chdir(root)
    # The host's interpreter stands for the image's Python: first on the path.
    python_bin = os.path.dirname(sys.executable)
    env = {"PATH": python_bin + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/root",
           "LANG": "C.UTF-8", **config["env"]}
    children = []
    if config["entrypoint"]:
        try:
            children.append(subprocess.Popen(config["entrypoint"], env=env, cwd=inside,
                                             stdin=subprocess.DEVNULL))
        except OSError as exc:
            print(f"entrypoint failed to start: {exc}", file=sys.stderr)
    if config["execd"]:
        time.sleep(config.get("execd_delay", 0.0))
        socket = os.path.join(inside, "run", "execd.sock")
        children.append(subprocess.Popen(
            [sys.executable, "-m", "opensandbox_local.execd", "--socket", socket],
            env=env, cwd=inside, stdin=subprocess.DEVNULL))
    # Reap everything, orphans included, for as long as the sandbox lives.
    while True:
        try:
            os.wait()
        except ChildProcessError:
            signal.pause()


if __name__ == "__main__":
    main()
