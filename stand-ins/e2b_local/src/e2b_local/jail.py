"""Start one program inside a sandbox's own file tree, then exec it.

The service runs this file as ``python -I -S -c <this source> <json plan>``
in every child it starts (code kernel, shell commands), so that the mount
set-up happens in the child and never in the service's threaded process.
Only the standard library is used, and nothing is imported from e2b_local.

The service has laid out the root (mount points, the host's top-level
symlinks) before the first child starts. With ``isolate`` the child gets a private mount namespace: the system
directories of the host are bind-mounted read-only into the sandbox root and
the process chroots there, so absolute paths such as /home/user or /files
land in the sandbox's tree. Without it the child just starts in the mapped
working directory (the service found that mounts are not allowed here).
"""

import ctypes
import ctypes.util
import json
import os
import sys

CLONE_NEWNS = 0x00020000
MS_RDONLY = 0x1
MS_REMOUNT = 0x20
MS_BIND = 0x1000
MS_REC = 0x4000
MS_PRIVATE = 0x40000


def _libc():
    return ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)


def _check(result, what):
    if result != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def _unshare_mounts(libc):
    if hasattr(os, "unshare"):
        os.unshare(CLONE_NEWNS)
    else:
        _check(libc.unshare(CLONE_NEWNS), "unshare")
    # Without this, bind mounts made below would propagate to the host.
    _check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "make / private")


def _bind(libc, source, target, read_only):
    if os.path.isdir(source):
        os.makedirs(target, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target):
            open(target, "a").close()
    _check(libc.mount(source.encode(), target.encode(), None, MS_BIND | MS_REC, None), f"bind {source}")
    if read_only:
        flags = MS_REMOUNT | MS_BIND | MS_RDONLY
        _check(libc.mount(None, target.encode(), None, flags, None), f"read-only {source}")


def main():
    plan = json.loads(sys.argv[1])
    root = plan["root"]
    if plan["isolate"]:
        libc = _libc()
        _unshare_mounts(libc)
        for source, read_only in plan["binds"]:
            _bind(libc, source, root + source, read_only)
        os.chroot(root)
        os.chdir(plan["cwd"])
    else:
        os.chdir(root + plan["cwd"])
    if plan.get("reply_fd") not in (None, 3):
        # The kernel reports on fd 3 whatever number the service passed.
        os.dup2(plan["reply_fd"], 3)
        os.close(plan["reply_fd"])
    argv = plan["argv"]
    os.execve(argv[0], argv, plan["env"])


if __name__ == "__main__":
    try:
        main()
    except OSError as error:
        sys.stderr.write(f"e2b_local: cannot start sandbox process: {error}\n")
        sys.exit(126)
