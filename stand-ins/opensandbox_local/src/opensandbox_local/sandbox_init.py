"""First process of a sandbox: builds its root, starts its daemons, reaps.

With isolation it runs as PID 1 of fresh mount, network and PID namespaces
(made by ``unshare``): it makes every mount private before it binds anything,
so nothing it mounts can show up on the host, brings up the sandbox's own
loopback, binds the host's system directories and the Python installation
read-only into the sandbox root, mounts a ``/proc`` of its own and chroots.
When it dies, the kernel ends every process of the sandbox with it.

Without isolation (not root, or namespaces refused) it runs in a process group
of its own with the sandbox directory as working directory; paths inside the
sandbox are then the host's.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time

_SYSTEM_DIRS = ("bin", "sbin", "lib", "lib32", "lib64", "libx32", "usr", "etc")


def _run(*argv: str) -> None:
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _bind_readonly(source: str, root: str) -> None:
    target = root + source
    os.makedirs(target, exist_ok=True)
    _run("mount", "--rbind", source, target)
    _run("mount", "-o", "remount,bind,ro", target)


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


def main() -> None:
    config = json.loads(sys.stdin.read())
    root = config["root"]
    _prepare_dirs(root)
    if config["isolate"]:
        _build_root(root)
        inside = "/"
    else:
        inside = root
        os.chdir(root)
    # The host's interpreter stands for the image's Python: first on the path.
    python_bin = os.path.dirname(sys.executable)
    env = {"PATH": python_bin + ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "HOME": "/root",
           "LANG": "C.UTF-8", **config["env"]}
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
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
