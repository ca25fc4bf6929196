"""Start one program inside a sandbox, then exec it; or hold a sandbox open.

The service runs this file as ``python -I -S -c <this source> <json plan>``
in every child it starts, so that namespace and mount set-up happen in the
child and never in the service's threaded process. Only the standard
library is used, and nothing is imported from e2b_local.

A plan has one of two roles:

``hold``: one per sandbox, started when the sandbox is created. With
isolation it unshares a mount namespace (inside a user namespace of its own
when the service is not root, or when told to) and bind-mounts the host's
system directories read-only into the sandbox root, once; it prints its pid,
whose namespaces the sandbox's programs join. It then reads its standard
input, whose only write end the service holds: lines ``+PGID`` / ``-PGID``
name the process groups started in the sandbox. End of input means the
service is gone, however it ended: the holder kills those groups and every
process whose root is the sandbox's tree (those that left their group), and
exits. Without isolation only the group kill is left.

``run``: every program of the sandbox (code kernel, commands). It joins the
holder's namespaces and chroots to the sandbox root, or without isolation
just starts in the mapped working directory. It then resets every signal to
its default, asks for SIGKILL when its parent (the service) dies, and execs.

There is no PID namespace: a program that joined one with setns could not
start threads (the kernel refuses CLONE_THREAD while its own PID namespace
and its children's differ), and one started inside it would see other pids
than the service reports.
"""

import ctypes
import ctypes.util
import json
import os
import signal
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
MS_RDONLY = 0x1
MS_NOSUID = 0x2
MS_NODEV = 0x4
MS_NOEXEC = 0x8
MS_REMOUNT = 0x20
MS_NOATIME = 0x400
MS_NODIRATIME = 0x800
MS_BIND = 0x1000
MS_REC = 0x4000
MS_PRIVATE = 0x40000
MS_RELATIME = 0x200000
MS_STRICTATIME = 0x1000000
ST_RELATIME = 0x1000  # statvfs's bit, not the mount(2) one
PR_SET_PDEATHSIG = 1

_libc_handle = None


def _libc():
    global _libc_handle
    if _libc_handle is None:
        _libc_handle = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    return _libc_handle


def _call(what, function, *args):
    """Runs a system call, naming it in the error (the service reports the
    first line of a refusal as the reason it has no isolation)."""
    try:
        return function(*args)
    except OSError as error:
        raise OSError(error.errno, f"{what}: {error.strerror}") from None


def _mount(source, target, flags, what):
    libc = _libc()
    if libc.mount(source, target, None, flags, None) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def _write(path, text):
    with open(path, "w") as handle:
        handle.write(text)


def _kept_flags(path):
    """The flags of the mount at `path` that a read-only remount must repeat:
    in a user namespace the kernel refuses to drop any of them."""
    have = os.statvfs(path).f_flag
    flags = 0
    for st_bit, ms_bit in ((os.ST_NOSUID, MS_NOSUID), (os.ST_NODEV, MS_NODEV), (os.ST_NOEXEC, MS_NOEXEC),
                           (os.ST_NOATIME, MS_NOATIME), (os.ST_NODIRATIME, MS_NODIRATIME),
                           (ST_RELATIME, MS_RELATIME)):
        if have & st_bit:
            flags |= ms_bit
    if not have & (os.ST_NOATIME | ST_RELATIME):
        flags |= MS_STRICTATIME
    return flags


def _bind(source, target, read_only):
    if os.path.isdir(source):
        os.makedirs(target, exist_ok=True)
    else:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target):
            open(target, "a").close()
    _mount(source.encode(), target.encode(), MS_BIND | MS_REC, f"bind {source}")
    if read_only:
        flags = MS_REMOUNT | MS_BIND | MS_RDONLY | _kept_flags(target)
        _mount(None, target.encode(), flags, f"read-only {source}")


def _enter_new_namespaces(plan):
    if plan["mode"] == "userns":
        uid, gid = os.getuid(), os.getgid()
        _call("unshare(CLONE_NEWUSER)", os.unshare, CLONE_NEWUSER)
        # Without "deny" an unprivileged process may not write its gid_map.
        _write("/proc/self/setgroups", "deny")
        _write("/proc/self/uid_map", f"0 {uid} 1")
        _write("/proc/self/gid_map", f"0 {gid} 1")
    _call("unshare(CLONE_NEWNS)", os.unshare, CLONE_NEWNS)
    # Without this, the binds made below would propagate to the host.
    _mount(None, b"/", MS_REC | MS_PRIVATE, "make / private")
    root = plan["root"]
    for source, read_only in plan["binds"]:
        _bind(source, root + source, read_only)


def pids_rooted_at(root):
    """Processes whose root is the sandbox's tree: those that left their
    group (setsid, daemons) are found this way too."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/root") == root:
                    found.append(int(entry))
            except OSError:
                continue
    return found


def _kill_sandbox_processes(root):
    """Kills every process whose root is the sandbox's tree, until none is
    left (a daemon may fork while it is being looked for)."""
    for _ in range(100):
        found = pids_rooted_at(root)
        if not found:
            return
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def hold(plan):
    if plan["mode"] != "none":
        _enter_new_namespaces(plan)
    sys.stdout.write(f"{os.getpid()}\n")
    sys.stdout.flush()
    groups = set()
    for line in sys.stdin:
        pgid = int(line[1:])
        if line.startswith("+"):
            groups.add(pgid)
        else:
            groups.discard(pgid)
    for pgid in groups:
        try:
            os.killpg(pgid, signal.SIGKILL)
        except OSError:
            pass
    if plan["mode"] != "none":
        _kill_sandbox_processes(plan["root"])


def _reset_signals():
    # Ignored signals survive exec, and a service started with SIGINT ignored
    # (nohup, a background job of a script) would pass that on; Python itself
    # ignores SIGPIPE in this process.
    for signum in signal.valid_signals():
        if signum not in (signal.SIGKILL, signal.SIGSTOP):
            try:
                signal.signal(signum, signal.SIG_DFL)
            except (OSError, ValueError):
                pass  # the C library's own real-time signals
    signal.pthread_sigmask(signal.SIG_SETMASK, ())


def run(plan):
    root = plan["root"]
    enter = plan["enter"]
    if enter:
        kinds = (["user"] if plan["userns"] else []) + ["mnt"]
        # All opened before the first setns: after it /proc may be another.
        fds = {kind: _call(f"open the sandbox's {kind} namespace", os.open, f"/proc/{enter}/ns/{kind}", os.O_RDONLY)
               for kind in kinds}
        if "user" in fds:
            _call("setns(user)", os.setns, fds["user"], CLONE_NEWUSER)
        _call("setns(mnt)", os.setns, fds["mnt"], CLONE_NEWNS)
        os.chroot(root)
        os.chdir(plan["cwd"])
        for fd in fds.values():
            os.close(fd)
    else:
        os.chdir(root + plan["cwd"])
    if plan.get("reply_fd") not in (None, 3):
        # The kernel reports on fd 3 whatever number the service passed.
        os.dup2(plan["reply_fd"], 3)
        os.close(plan["reply_fd"])
    _reset_signals()
    # The signal comes when the service's thread that started this ends; the
    # check covers a service that was gone before it was asked for.
    _libc().prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != plan["parent"]:
        os._exit(126)
    argv = plan["argv"]
    os.execve(argv[0], argv, plan["env"])


if __name__ == "__main__":
    try:
        plan = json.loads(sys.argv[1])
        hold(plan) if plan["role"] == "hold" else run(plan)
    except OSError as error:
        where = f" ({error.filename})" if error.filename else ""
        sys.stderr.write(f"e2b_local: cannot start sandbox process: {error.strerror or error}{where}\n")
        sys.exit(126)
