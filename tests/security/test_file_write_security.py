"""Confinement of workspace file writes; every test checks that nothing outside changed."""

from __future__ import annotations

import ctypes
import errno
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from runner_harness import (
    SYSCALLS,
    file_write_request,
    requires_confinement,
    run_request,
    runner_source,
)

pytestmark = requires_confinement


def _refused(response, error):
    assert response == {"ok": False, "status": "error", "error": error}


@pytest.mark.parametrize(
    ("path", "error"),
    [
        ("../outside/secret.txt", "ValueError: path must remain below the workspace root: ../outside/secret.txt"),
        ("a/../../beside.txt", "ValueError: path must remain below the workspace root: a/../../beside.txt"),
        ("/tmp/vorn-absolute.txt", "ValueError: path must remain below the workspace root: /tmp/vorn-absolute.txt"),
        ("", "ValueError: workspace path must be a non-empty string"),
        (" \t ", "ValueError: workspace path must be a non-empty string"),
        ("a\0b", "ValueError: workspace path must not contain NUL"),
        ("./", "ValueError: path must name a file below the workspace root: ./"),
    ],
)
def test_bad_paths_are_refused(arena, path, error):
    before = arena.outside_state()
    _refused(run_request(file_write_request(path, b"x", arena.root, overwrite=True)).response, error)
    assert os.listdir(arena.root) == [] and not os.path.exists("/tmp/vorn-absolute.txt")
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize("target", ["inside", "outside", "dangling"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_symlink_destination_is_refused_and_unchanged(arena, target, overwrite):
    (arena.root / "inside.txt").write_bytes(b"inside")
    link_target = {"inside": arena.root / "inside.txt", "outside": arena.outside / "secret.txt",
                   "dangling": arena.outside / "missing.txt"}[target]
    (arena.root / "link").symlink_to(link_target)
    before = arena.outside_state()
    response = run_request(file_write_request("link", b"evil", arena.root, overwrite=overwrite)).response
    _refused(response, "ValueError: refusing to write through a symbolic-link destination")
    assert os.readlink(arena.root / "link") == str(link_target)
    assert (arena.root / "inside.txt").read_bytes() == b"inside"
    assert sorted(os.listdir(arena.root)) == ["inside.txt", "link"]
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize("kind", ["symlink-inside", "symlink-outside", "file"])
def test_parent_that_is_a_link_or_a_file_is_refused(arena, kind):
    (arena.root / "real").mkdir()
    if kind == "file":
        (arena.root / "parent").write_bytes(b"plain")
    else:
        (arena.root / "parent").symlink_to(arena.root / "real" if kind == "symlink-inside" else arena.outside)
    before = arena.outside_state()
    for path in ("parent/new.txt", "parent/nested/new.txt"):
        response = run_request(file_write_request(path, b"evil", arena.root, overwrite=True)).response
        _refused(response, "ValueError: symbolic links are not permitted in a workspace path")
    assert os.listdir(arena.root / "real") == []
    arena.assert_outside_unchanged(before)


def test_hard_linked_destination_is_refused(arena):
    os.link(arena.outside / "secret.txt", arena.root / "linked.txt")
    before = arena.outside_state()
    response = run_request(file_write_request("linked.txt", b"evil", arena.root, overwrite=True)).response
    _refused(response, "ValueError: refusing to overwrite a multi-linked destination")
    assert (arena.outside / "secret.txt").read_bytes() == b"outside content\n"
    arena.assert_outside_unchanged(before)


def test_existing_file_is_never_clobbered_without_overwrite(arena):
    (arena.root / "keep.txt").write_bytes(b"keep")
    before = arena.outside_state()
    response = run_request(file_write_request("keep.txt", b"new", arena.root)).response
    _refused(response, "FileExistsError: destination already exists: keep.txt")
    assert (arena.root / "keep.txt").read_bytes() == b"keep"
    arena.assert_outside_unchanged(before)


def test_decoded_size_never_exceeds_the_limit(arena):
    before = arena.outside_state()
    response = run_request(file_write_request("big.txt", b"123456", arena.root, max_bytes=5)).response
    _refused(response, "ValueError: data exceeds the configured write limit of 5 bytes")
    assert os.listdir(arena.root) == []
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize(
    ("syscall", "error"),
    [
        ("openat2", "ValueError: openat2/platform-policy requirement unavailable"),
        ("landlock_create_ruleset",
         "ValueError: platform cannot safely confine workspace writes (Landlock ABI 3 required)"),
    ],
)
def test_missing_kernel_interfaces_write_nothing(arena, syscall, error):
    before = arena.outside_state()
    reply = run_request(file_write_request("new.txt", b"x", arena.root),
                        deny_syscalls={SYSCALLS[syscall]: errno.ENOSYS})
    _refused(reply.response, error)
    assert os.listdir(arena.root) == []
    arena.assert_outside_unchanged(before)


def test_file_system_without_rename_noreplace_refuses_new_files_clearly(arena):
    # As NFS and some FUSE file systems answer: renameat2 with RENAME_NOREPLACE
    # is EINVAL, a plain rename still works.
    without_noreplace = {SYSCALLS["renameat2"]: (errno.EINVAL, 4, 1)}
    before = arena.outside_state()
    reply = run_request(file_write_request("dir/new.txt", b"x", arena.root), deny_syscalls=without_noreplace)
    _refused(reply.response, "OSError: [Errno 22] the file system does not support renameat2 with "
                             "RENAME_NOREPLACE, which creating a new file needs: dir/new.txt")
    assert os.listdir(arena.root / "dir") == []

    (arena.root / "old.txt").write_bytes(b"before")
    reply = run_request(file_write_request("old.txt", b"after", arena.root, overwrite=True),
                        deny_syscalls=without_noreplace)
    assert reply.response["ok"] and reply.response["overwritten"], reply.response
    assert (arena.root / "old.txt").read_bytes() == b"after"
    assert sorted(os.listdir(arena.root)) == ["dir", "old.txt"]
    arena.assert_outside_unchanged(before)


def test_write_helper_is_itself_confined(arena, runner):
    # A write helper whose own code tries to leave the root is stopped by the
    # kernel, not by the runner's path checks.
    target = arena.outside / "escaped.txt"
    runner["_RUNNER_SOURCE"] = runner_source() + (
        "\n\n_confined_write = _run_file_write\n"
        "def _run_file_write(params, *, root_fd_override=None):\n"
        f"    open({str(target)!r}, 'xb')\n"
    )
    before = arena.outside_state()
    response = runner["run_primitive"](file_write_request("f.txt", b"x", arena.root))
    _refused(response, f"PermissionError: [Errno 13] Permission denied: {str(target)!r}")
    arena.assert_outside_unchanged(before)


_POLICY_PROBE = r"""
import errno, json, os, sys
namespace = {"__name__": "vorn_sandbox_primitive_runner", "__file__": "vorn_sandbox_primitive_runner.py"}
exec(compile(open(sys.argv[1]).read(), "runner", "exec"), namespace)
root, outside = sys.argv[2], sys.argv[3]
root_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
early = os.open(os.path.join(outside, "early.txt"), os.O_WRONLY | os.O_CREAT, 0o600)
descriptors = set(os.listdir("/proc/self/fd"))
namespace["_install_landlock"](root_fd)
def attempt(action):
    try:
        action()
        return 0
    except OSError as exc:
        return exc.errno
outcome = {
    "leftover_descriptors": sorted(set(os.listdir("/proc/self/fd")) - descriptors),
    "root_fd_open": attempt(lambda: os.fstat(root_fd)),
    "inside_create": attempt(lambda: open(os.path.join(root, "in.txt"), "xb").write(b"x")),
    "inside_rename": attempt(lambda: os.rename(os.path.join(root, "in.txt"), os.path.join(root, "moved.txt"))),
    "inside_remove": attempt(lambda: os.unlink(os.path.join(root, "moved.txt"))),
    "early_descriptor": attempt(lambda: os.write(early, b"still")),
    "read_outside": attempt(lambda: open("/etc/hostname", "rb").read()),
    "outside_create": attempt(lambda: open(os.path.join(outside, "late.txt"), "xb")),
    "tmp_create": attempt(lambda: open("/tmp/vorn-policy-" + str(os.getpid()), "xb")),
    "devnull_write": attempt(lambda: open("/dev/null", "wb")),
}
print(json.dumps(outcome))
"""


def test_landlock_policy_of_the_runner(arena, tmp_path):
    runner_file = tmp_path / "runner.py"
    runner_file.write_text(runner_source())
    completed = subprocess.run([sys.executable, "-S", "-c", _POLICY_PROBE, str(runner_file), str(arena.root),
                                str(arena.outside)], capture_output=True, text=True, timeout=30)
    assert completed.returncode == 0, completed.stderr
    outcome = json.loads(completed.stdout)
    assert outcome.pop("leftover_descriptors") == []
    assert {name: value for name, value in outcome.items() if value} == {
        "outside_create": errno.EACCES, "tmp_create": errno.EACCES, "devnull_write": errno.EACCES}
    assert (arena.outside / "early.txt").read_bytes() == b"still"


def test_overwrite_readers_see_old_or_new_never_a_mix(arena, runner):
    size = 256 * 1024
    contents = [bytes([letter]) * size for letter in b"AB"]
    (arena.root / "file.bin").write_bytes(contents[0])
    before = arena.outside_state()
    root_fd = os.open(arena.root, os.O_RDONLY | os.O_DIRECTORY)
    mixed: list[bytes] = []
    reads = 0
    done = threading.Event()

    def reader():
        nonlocal reads
        while not done.is_set():
            data = (arena.root / "file.bin").read_bytes()
            reads += 1
            if data not in contents:
                mixed.append(data[:16] + data[-16:])

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for index in range(120):
            request = file_write_request("file.bin", contents[index % 2], arena.root, overwrite=True)
            runner["_run_file_write"](request, root_fd_override=root_fd)
    finally:
        done.set()
        thread.join()
        os.close(root_fd)
    assert reads > 0 and mixed == []
    assert sorted(os.listdir(arena.root)) == ["file.bin"]
    arena.assert_outside_unchanged(before)


_RACING_WRITER = r"""
import base64, collections, json, os, sys, time
namespace = {"__name__": "vorn_sandbox_primitive_runner", "__file__": "vorn_sandbox_primitive_runner.py"}
exec(compile(open(sys.argv[1]).read(), "runner", "exec"), namespace)
root, budget, limit = sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
root_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
payload = base64.b64encode(b"payload").decode()
written, refused = 0, collections.Counter()
end = time.monotonic() + budget
index = 0
while time.monotonic() < end and index < limit:
    request = {"data_b64": payload, "max_bytes": 64, "operation": "file_write", "overwrite": index % 3 != 0,
               "path": "d/sub/f%d.txt" % (index % 40), "workspace_root": root, "version": 1}
    index += 1
    try:
        namespace["_run_file_write"](request, root_fd_override=root_fd)
        written += 1
    except Exception as exc:
        refused[type(exc).__name__] += 1
print(json.dumps({"written": written, "refused": refused}))
"""


def test_racing_directory_symlink_exchange_never_escapes(arena, tmp_path):
    # One process keeps exchanging a workspace directory and a symlink to the
    # outside with RENAME_EXCHANGE while another writes beneath that name
    # without Landlock: only the path resolution keeps the writes inside.
    (arena.root / "d" / "sub").mkdir(parents=True)
    (arena.outside / "sub").mkdir()
    (arena.root / "s").symlink_to(arena.outside)
    before = arena.outside_state()
    runner_file = tmp_path / "runner.py"
    runner_file.write_text(runner_source())
    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = SYSCALLS["renameat2"]
    first, second = os.fsencode(arena.root / "d"), os.fsencode(arena.root / "s")
    stop = threading.Event()
    exchanges = 0

    def exchange():
        nonlocal exchanges
        while not stop.is_set():
            assert libc.syscall(renameat2, -100, first, -100, second, 2) == 0, ctypes.get_errno()
            exchanges += 1

    swapper = threading.Thread(target=exchange)
    swapper.start()
    try:
        completed = subprocess.run([sys.executable, "-S", "-c", _RACING_WRITER, str(runner_file), str(arena.root),
                                    "12", "20000"], capture_output=True, text=True, timeout=60)
    finally:
        stop.set()
        swapper.join()
    assert completed.returncode == 0, completed.stderr
    arena.assert_outside_unchanged(before)
    outcome = json.loads(completed.stdout)
    total = outcome["written"] + sum(outcome["refused"].values())
    assert outcome["written"] > 0 and outcome["refused"] and exchanges > 1000, (outcome, exchanges)
    assert total >= 2000, outcome
    real = arena.root / ("d" if (arena.root / "d").is_dir() and not (arena.root / "d").is_symlink() else "s")
    assert os.path.islink(arena.root / ("s" if real.name == "d" else "d"))
    names = os.listdir(real / "sub")
    assert names and all(name.startswith("f") and name.endswith(".txt") for name in names)
