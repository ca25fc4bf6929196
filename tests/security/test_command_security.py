"""Confinement of workspace commands; every test checks that nothing outside changed."""

from __future__ import annotations

import base64
import contextlib
import errno
import json
import os
import signal
import stat
import sys
import time

import pytest

from runner_harness import (
    SYSCALLS,
    command_request,
    file_write_request,
    process_gone,
    requires_confinement,
    run_request,
)

pytestmark = requires_confinement

# Each operation is tried by the confined command; outside the root the kernel
# must refuse it, inside the root it must work.
_ATTEMPTS = r"""
import errno, json, os, sys
root, outside = sys.argv[1], sys.argv[2]
secret = os.path.join(outside, "secret.txt")
inside = os.path.join(root, "inside.txt")
with open(inside, "w") as handle:
    handle.write("inside")
def attempt(action):
    try:
        action()
        return 0
    except OSError as exc:
        return exc.errno
outcome = {
    "write": attempt(lambda: open(secret, "r+b").write(b"X")),
    "append": attempt(lambda: open(secret, "ab").write(b"X")),
    "create": attempt(lambda: open(os.path.join(outside, "new.txt"), "xb")),
    "truncate": attempt(lambda: os.truncate(secret, 0)),
    "rename_out": attempt(lambda: os.rename(inside, os.path.join(outside, "moved.txt"))),
    "rename_in": attempt(lambda: os.rename(secret, os.path.join(root, "stolen.txt"))),
    "rename_outside": attempt(lambda: os.rename(secret, os.path.join(outside, "renamed.txt"))),
    "link_out": attempt(lambda: os.link(inside, os.path.join(outside, "link.txt"))),
    "link_in": attempt(lambda: os.link(secret, os.path.join(root, "hard.txt"))),
    "symlink": attempt(lambda: os.symlink(root, os.path.join(outside, "sym"))),
    "mkdir": attempt(lambda: os.mkdir(os.path.join(outside, "dir"))),
    "unlink": attempt(lambda: os.unlink(secret)),
    "rmdir": attempt(lambda: os.rmdir(os.path.join(outside, "nested"))),
    "mkfifo": attempt(lambda: os.mkfifo(os.path.join(outside, "fifo"))),
    "tmp": attempt(lambda: open("/tmp/vorn-escape-" + str(os.getpid()), "xb")),
    "devnull": attempt(lambda: open("/dev/null", "wb")),
    "read": attempt(lambda: open(secret, "rb").read()),
    "inside_create": attempt(lambda: open(os.path.join(root, "sub.txt"), "xb")),
    "inside_rename": attempt(lambda: os.rename(inside, os.path.join(root, "renamed.txt"))),
    "inside_mkdir": attempt(lambda: os.mkdir(os.path.join(root, "d"))),
}
print(json.dumps(outcome))
"""


def _out(response, stream="stdout"):
    return base64.b64decode(response[f"{stream}_b64"])


def test_writes_outside_the_root_are_refused_by_the_kernel(arena):
    before = arena.outside_state()
    argv = [sys.executable, "-S", "-c", _ATTEMPTS, str(arena.root), str(arena.outside)]
    response = run_request(command_request(argv, arena.root)).response
    assert response["status"] == "success", _out(response, "stderr")
    outcome = json.loads(_out(response))
    refused = {name: value for name, value in outcome.items() if not name.startswith(("inside", "read"))}
    assert all(value in (errno.EACCES, errno.EXDEV, errno.EPERM) for value in refused.values()), outcome
    assert (outcome["read"], outcome["inside_create"], outcome["inside_rename"], outcome["inside_mkdir"]) == (0, 0, 0, 0)
    arena.assert_outside_unchanged(before)
    assert not [name for name in os.listdir("/tmp") if name.startswith("vorn-escape-")]


@pytest.mark.parametrize(
    "components",
    [[".."], ["..", "outside"], ["/etc"], [str("/")], [""], ["a\0b"], ["."], ["sub/../.."]],
)
def test_bad_working_directories_are_refused_before_anything_runs(arena, components):
    (arena.root / "sub").mkdir()
    before = arena.outside_state()
    response = run_request(command_request(["sh", "-c", ": > ran"], arena.root, cwd_components=components,
                                           env_allowlist=["PATH"])).response
    assert response == {"ok": False, "status": "error",
                        "error": "ValueError: cwd_components must be validated workspace-relative names"}
    assert not list(arena.top.rglob("ran"))
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize("target", ["inside", "outside"])
def test_symlinked_working_directory_is_refused(arena, target):
    (arena.root / "inside").mkdir()
    (arena.root / "link").symlink_to(arena.root / "inside" if target == "inside" else arena.outside)
    before = arena.outside_state()
    for components in (["link"], ["link", "nested"]):
        response = run_request(command_request(["sh", "-c", ": > ran"], arena.root, cwd_components=components,
                                               env_allowlist=["PATH"])).response
        assert response["status"] == "error"
        assert response["error"] in ("OSError: [Errno 40] Too many levels of symbolic links",
                                     "NotADirectoryError: [Errno 20] Not a directory")
    assert not list(arena.top.rglob("ran"))
    arena.assert_outside_unchanged(before)


def test_symlink_swapped_in_after_validation_is_refused(arena, runner, monkeypatch):
    work = arena.root / "work"
    work.mkdir()
    before = arena.outside_state()
    real_spawn = runner["_spawn_process"]

    def swap_then_spawn(argv, **kwargs):
        # The runner has opened and checked the directory; now it becomes a
        # link to the outside before the helper resolves it again.
        work.rename(arena.root / "work.real")
        work.symlink_to(arena.outside)
        return real_spawn(argv, **kwargs)

    monkeypatch.setitem(runner, "_spawn_process", swap_then_spawn)
    response = runner["run_primitive"](command_request(["sh", "-c", ": > ran"], arena.root, cwd_components=["work"],
                                                       env_allowlist=["PATH"]))
    assert (response["status"], response["exit_code"]) == ("error", 1)
    assert b"Too many levels of symbolic links" in _out(response, "stderr")
    assert not list(arena.top.rglob("ran"))
    arena.assert_outside_unchanged(before)


def test_environment_is_exactly_allowlist_plus_overrides(arena):
    before = arena.outside_state()
    request = command_request(["/usr/bin/env"], arena.root, env={"PATH": "/usr/bin:/bin", "EXTRA": "x=y"},
                              env_allowlist=["HOME", "LANG", "UNSET_NAME"])
    response = run_request(request, env={"HOME": "/home/me", "LANG": "C.UTF-8", "TOKEN": "secret",
                                         "PATH": "/sbin:/bin", "VORN_SANDBOX_ROOT_FD": "3"}).response
    lines = _out(response).decode().splitlines()
    assert sorted(lines) == sorted(["HOME=/home/me", "LANG=C.UTF-8", "PATH=/usr/bin:/bin", "EXTRA=x=y"])
    arena.assert_outside_unchanged(before)


def test_command_output_cannot_forge_the_reply(arena):
    before = arena.outside_state()
    forged = '{"ok": true, "status": "success", "exit_code": 0, "error": ""}'
    script = (
        f"printf '%s\\n' '{forged}'; printf '%s\\n' '{forged}' >&2; "
        f"(printf '%s\\n' '{forged}' > /proc/$PPID/fd/1) 2>/dev/null; "
        f"(printf '%s\\n' '{forged}' > /proc/$PPID/fd/2) 2>/dev/null; "
        "exit 7"
    )
    reply = run_request(command_request(["sh", "-c", script], arena.root, env_allowlist=["PATH"]))
    response = reply.response
    assert response["exit_code"] == 7 and response["status"] == "error"
    assert _out(response).decode().strip() == forged
    assert forged not in reply.run.stderr
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize(("limit", "sizes"), [(1, (0, 5)), (4096, (4095, 4097)), (65536, (3 * 65536 + 7, 65536))])
def test_retained_output_never_exceeds_the_limit_and_counts_are_exact(arena, limit, sizes):
    before = arena.outside_state()
    code = (f"import os\nfor stream, total in ((1, {sizes[0]}), (2, {sizes[1]})):\n"
            "    while total:\n        total -= os.write(stream, b'z' * min(total, 10000))")
    response = run_request(command_request([sys.executable, "-S", "-c", code], arena.root,
                                           max_output_bytes=limit)).response
    for stream, size in zip(("stdout", "stderr"), sizes):
        assert len(_out(response, stream)) == response[f"{stream}_captured_byte_count"] == min(size, limit)
        assert response[f"{stream}_byte_count"] == size
        assert response[f"{stream}_truncated"] is (size > limit)
        assert response[f"{stream}_byte_count_complete"] is True
    arena.assert_outside_unchanged(before)


def test_deadline_kills_the_whole_process_group(arena):
    before = arena.outside_state()
    script = "sleep 60 & echo $! > a.pid; (sleep 60 & echo $! > b.pid; wait) & sleep 60"
    started = time.monotonic()
    reply = run_request(command_request(["sh", "-c", script], arena.root, env_allowlist=["PATH"], timeout=1))
    assert reply.response["status"] == "timeout" and reply.response["timed_out"]
    assert time.monotonic() - started < 30  # not the group's 60 s
    for name in ("a.pid", "b.pid"):
        assert process_gone(int((arena.root / name).read_text()))
    arena.assert_outside_unchanged(before)


def test_reply_comes_a_second_after_the_deadline_when_an_escaped_grandchild_holds_the_pipes(arena):
    before = arena.outside_state()
    script = "setsid sh -c 'echo $$ > escaped.pid; echo early; exec sleep 60' & sleep 60"
    reply = run_request(command_request(["sh", "-c", script], arena.root, env_allowlist=["PATH"], timeout=1))
    escaped = int((arena.root / "escaped.pid").read_text())
    try:
        response = reply.response
        assert response["status"] == "timeout" and response["exit_code"] == -9
        assert reply.run.elapsed < 30  # not the grandchild's 60 s
        assert response["stdout_byte_count_complete"] is False
        assert b"early" in _out(response)
    finally:
        os.kill(escaped, signal.SIGKILL)
    arena.assert_outside_unchanged(before)


@pytest.mark.parametrize("error_number", [errno.ENOSYS, errno.EPERM])
def test_kernel_without_openat2_runs_nothing(arena, error_number):
    before = arena.outside_state()
    reply = run_request(command_request(["sh", "-c", ": > ran"], arena.root, env_allowlist=["PATH"]),
                        deny_syscalls={SYSCALLS["openat2"]: error_number})
    assert reply.response == {"ok": False, "status": "error",
                              "error": "ValueError: openat2/platform-policy requirement unavailable"}
    assert not list(arena.top.rglob("ran"))
    arena.assert_outside_unchanged(before)


def test_kernel_without_landlock_runs_nothing(arena):
    before = arena.outside_state()
    reply = run_request(command_request(["sh", "-c", ": > ran"], arena.root, env_allowlist=["PATH"]),
                        deny_syscalls={SYSCALLS["landlock_create_ruleset"]: errno.ENOSYS})
    response = reply.response
    assert (response["status"], response["exit_code"]) == ("error", 1)
    assert (b"RuntimeError: platform cannot safely confine workspace writes (Landlock ABI 3 required)"
            in _out(response, "stderr"))
    assert not list(arena.top.rglob("ran"))
    arena.assert_outside_unchanged(before)


# A module that records every import of itself in a file outside the root:
# planted in the working directory, it must load in neither helper.
_PLANTED_MODULE = "with open({marker!r}, 'a') as handle:\n    handle.write(__name__ + '\\n')\n"


def test_modules_planted_in_the_working_directory_never_load_in_a_helper(arena, runner, monkeypatch):
    marker = arena.outside / "planted.log"
    for name in ("platform", "json"):
        (arena.root / f"{name}.py").write_text(_PLANTED_MODULE.format(marker=str(marker)))
    monkeypatch.chdir(arena.root)
    before = arena.outside_state()
    command = runner["run_primitive"](command_request(["/bin/sh", "-c", ": > ran"], arena.root))
    write = runner["run_primitive"](file_write_request("written.txt", b"x", arena.root))
    assert not marker.exists(), marker.read_text()
    assert command["status"] == "success", _out(command, "stderr")
    assert write["ok"], write
    assert (arena.root / "ran").exists() and (arena.root / "written.txt").read_bytes() == b"x"
    arena.assert_outside_unchanged(before)


def test_device_nodes_cannot_be_made_even_inside_the_root(arena, tmp_path):
    try:
        os.mknod(tmp_path / "probe", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except OSError:
        pytest.skip("this process cannot create device nodes")
    before = arena.outside_state()
    code = ("import os, stat\n"
            "for name, kind, device in (('char', stat.S_IFCHR, (1, 3)), ('block', stat.S_IFBLK, (7, 0))):\n"
            "    try:\n"
            "        os.mknod(name, 0o600 | kind, os.makedev(*device))\n"
            "        print(name, 'made')\n"
            "    except OSError as exc:\n"
            "        print(name, exc.errno)\n")
    response = run_request(command_request([sys.executable, "-S", "-c", code], arena.root)).response
    assert _out(response).decode().split("\n") == [f"char {errno.EACCES}", f"block {errno.EACCES}", ""]
    assert os.listdir(arena.root) == []
    arena.assert_outside_unchanged(before)


def test_background_process_that_closes_its_pipes_ends_with_the_command(arena):
    before = arena.outside_state()
    script = "(exec >&- 2>&-; exec sleep 60) & echo $!"
    response = run_request(command_request(["sh", "-c", script], arena.root, env_allowlist=["PATH"])).response
    background = int(_out(response))
    try:
        assert response["status"] == "success"
        assert process_gone(background)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.kill(background, signal.SIGKILL)
    arena.assert_outside_unchanged(before)
