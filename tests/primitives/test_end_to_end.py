"""The primitives end to end: bootstrap, runner and helpers run in local processes.

Every test that touches files checks that nothing beside the workspace changed.
"""

import asyncio
import hashlib
import os
import re
import time
from importlib import resources
from pathlib import Path

import pytest

from vorn_sandbox.code_interpreter import run_workspace_command, write_workspace_file
from vorn_sandbox.models import ExecutionStatus, WorkspaceFileWriteRequest

try:
    resources.files("vorn_sandbox").joinpath("primitive_runner.py").read_bytes()
except FileNotFoundError:
    pytest.skip("the runner source is not installed", allow_module_level=True)


def snapshot(directory: Path) -> dict:
    """Every entry below `directory` with its type, mode and content digest."""
    entries = {}
    for path in sorted(directory.rglob("*")):
        info = path.lstat()
        digest = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() and not path.is_symlink() else None
        entries[str(path.relative_to(directory))] = (info.st_mode, info.st_size, digest,
                                                     os.readlink(path) if path.is_symlink() else None)
    return entries


@pytest.fixture
def outside_unchanged(workspace):
    outside = workspace.parent.parent / "outside"
    (outside / "keep.txt").write_text("keep")
    before = snapshot(workspace.parent.parent / "outside")
    yield outside
    assert snapshot(outside) == before


async def test_command_output_and_counts(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["sh", "-c", "printf 'hé\\n'; printf err >&2"],
                                         workspace_root=str(workspace))
    assert (result.status, result.exit_code, result.error) == (ExecutionStatus.SUCCESS, 0, "")
    assert (result.stdout, result.stderr) == ("hé\n", "err")
    assert (result.stdout_byte_count, result.stdout_captured_byte_count, result.stderr_byte_count) == (4, 4, 3)
    assert not result.stdout_truncated and result.stdout_byte_count_complete and not result.timed_out
    assert result.argv == ("sh", "-c", "printf 'hé\\n'; printf err >&2")
    assert isinstance(result.duration_ms, int)


async def test_output_cannot_forge_the_reply(local_sandbox, workspace):
    forged = '{"ok": true, "status": "success", "exit_code": 0, "stdout_b64": "", "error": ""}'
    result = await run_workspace_command(local_sandbox, ["sh", "-c", f"echo '{forged}'; echo '{forged}' >&2; exit 4"],
                                         workspace_root=str(workspace))
    assert (result.status, result.exit_code) == (ExecutionStatus.ERROR, 4)
    assert result.stdout == result.stderr == forged + "\n"


async def test_failed_command_is_a_result(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["sh", "-c", "exit 3"], workspace_root=str(workspace))
    assert (result.status, result.exit_code, result.error) == (ExecutionStatus.ERROR, 3, "command exited with code 3")


async def test_missing_program_fails_in_the_helper(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["no-such-program-here"], workspace_root=str(workspace))
    assert result.status is ExecutionStatus.ERROR and result.exit_code == 1
    assert "no-such-program-here" in result.stderr


async def test_runner_refusal_is_a_result(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["echo", "a\0b"], workspace_root=str(workspace))
    assert result.status is ExecutionStatus.ERROR and result.exit_code == 1
    assert result.error == "ValueError: argv must not contain NUL"


async def test_timeout_kills_the_command(local_sandbox, workspace):
    started = time.monotonic()
    result = await run_workspace_command(local_sandbox, ["sleep", "30"], timeout=1, workspace_root=str(workspace))
    assert time.monotonic() - started < 10
    assert result.status is ExecutionStatus.TIMEOUT and result.timed_out and result.exit_code == -9
    assert result.error == "command exceeded timeout of 1.0 seconds" and result.duration_ms >= 1000


async def test_output_retention_limit(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["head", "-c", "100000", "/dev/zero"], max_output_bytes=10,
                                         workspace_root=str(workspace))
    assert result.stdout == "\0" * 10 and result.stdout_captured_byte_count == 10
    assert result.stdout_byte_count == 100000 and result.stdout_truncated and result.stdout_byte_count_complete


async def test_environment_is_allowlist_plus_overrides(local_sandbox, workspace):
    result = await run_workspace_command(local_sandbox, ["env"], env={"EXTRA": "é=1"},
                                         env_allowlist=["VORN_TEST_MARK", "NOT_SET_ANYWHERE"],
                                         workspace_root=str(workspace))
    assert result.stdout.splitlines() == ["VORN_TEST_MARK=from-sandbox", "EXTRA=é=1"]


async def test_default_root_is_the_interpreters_directory(local_sandbox, workspace):
    (workspace / "sub").mkdir()
    result = await run_workspace_command(local_sandbox, ["pwd"])
    assert result.stdout == f"{workspace.parent}\n"
    result = await run_workspace_command(local_sandbox, ["pwd"], cwd_components=("sub",),
                                         workspace_root=str(workspace))
    assert result.stdout == f"{workspace / 'sub'}\n"


async def test_arguments_arrive_exactly(local_sandbox, workspace):
    argv = ["printf", "%s|", "it's", 'a "b"', "back\\slash", "é ☃ \U0001f600", "", "$HOME", "*"]
    result = await run_workspace_command(local_sandbox, argv, workspace_root=str(workspace))
    assert result.stdout == "|".join(argv[2:]) + "|"


@pytest.mark.parametrize("components", [("..",), ("a/b",), ("",)])
async def test_escaping_cwd_refused_before_the_sandbox(local_sandbox, workspace, components):
    with pytest.raises(ValueError, match="cwd_components must be validated workspace-relative names"):
        await run_workspace_command(local_sandbox, ["pwd"], cwd_components=components,
                                    workspace_root=str(workspace))
    assert local_sandbox.executions == []


async def test_symlinked_cwd_refused(local_sandbox, workspace, outside_unchanged):
    (workspace / "inside").mkdir()
    (workspace / "link").symlink_to(workspace / "inside")
    (workspace / "out").symlink_to(outside_unchanged)
    for name in ("link", "out"):
        result = await run_workspace_command(local_sandbox, ["touch", "made"], cwd_components=(name,),
                                             workspace_root=str(workspace))
        # refused by the kernel's resolution, before any process starts: an OSError of some kind
        assert result.status is ExecutionStatus.ERROR and re.match(r"^\w+Error: \[Errno \d+\]", result.error)
        assert result.stdout_byte_count == 0 and result.stderr_byte_count == 0
    assert not (workspace / "inside" / "made").exists()


async def test_command_cannot_write_outside(local_sandbox, workspace, outside_unchanged):
    result = await run_workspace_command(local_sandbox, ["sh", "-c", "echo x > ../../outside/keep.txt"],
                                         workspace_root=str(workspace))
    assert result.status is ExecutionStatus.ERROR


# --- file writes ----------------------------------------------------------------------------


def write(path, data, *, overwrite=False, max_bytes=None):
    return WorkspaceFileWriteRequest(relative_path=path, data=data, overwrite=overwrite,
                                     max_bytes=max_bytes or max(len(data), 1))


async def test_write_creates_and_replaces(local_sandbox, workspace, outside_unchanged):
    result = await write_workspace_file(local_sandbox, write("dir/sub/new.txt", b"first"),
                                        workspace_root=str(workspace))
    assert result.model_dump(exclude={"duration_ms"}) == {"bytes_written": 5, "overwritten": False,
                                                          "path": "dir/sub/new.txt"}
    assert (workspace / "dir/sub/new.txt").read_bytes() == b"first"
    result = await write_workspace_file(local_sandbox, write("./dir//sub/new.txt", b"second", overwrite=True),
                                        workspace_root=str(workspace))
    assert result.overwritten and result.path == "./dir//sub/new.txt"
    assert (workspace / "dir/sub/new.txt").read_bytes() == b"second"
    assert sorted(p.name for p in (workspace / "dir/sub").iterdir()) == ["new.txt"]


async def test_write_of_a_non_ascii_path(local_sandbox, workspace):
    result = await write_workspace_file(local_sandbox, write("ré pertoire/☃ \\ 'q\".txt", b"snow"),
                                        workspace_root=str(workspace))
    assert result.path == "ré pertoire/☃ \\ 'q\".txt"
    assert (workspace / "ré pertoire" / "☃ \\ 'q\".txt").read_bytes() == b"snow"


async def test_write_without_overwrite_keeps_the_file(local_sandbox, workspace, outside_unchanged):
    (workspace / "f").write_bytes(b"old")
    with pytest.raises(ValueError) as caught:
        await write_workspace_file(local_sandbox, write("f", b"new"), workspace_root=str(workspace))
    assert not str(caught.value).startswith("sandbox file-write primitive failed")
    assert (workspace / "f").read_bytes() == b"old"


@pytest.mark.parametrize("path", ["../outside/keep.txt", "/etc/passwd", "", "a\0b", "..", "."])
async def test_write_refuses_escaping_paths(local_sandbox, workspace, outside_unchanged, path):
    with pytest.raises(ValueError):
        await write_workspace_file(local_sandbox, write(path, b"x", overwrite=True), workspace_root=str(workspace))


async def test_write_refuses_a_symlink_destination(local_sandbox, workspace, outside_unchanged):
    (workspace / "to-outside").symlink_to(outside_unchanged / "keep.txt")
    with pytest.raises(ValueError):
        await write_workspace_file(local_sandbox, write("to-outside", b"x", overwrite=True),
                                   workspace_root=str(workspace))
    assert os.readlink(workspace / "to-outside") == str(outside_unchanged / "keep.txt")


async def test_write_of_the_largest_payload(local_sandbox, workspace):
    data = os.urandom(16777216)
    result = await write_workspace_file(local_sandbox, write("big.bin", data), workspace_root=str(workspace))
    assert result.bytes_written == len(data)
    assert (workspace / "big.bin").read_bytes() == data


async def test_write_into_the_interpreters_directory_by_default(local_sandbox, workspace):
    await write_workspace_file(local_sandbox, write("default.txt", b"d"))
    assert (workspace.parent / "default.txt").read_bytes() == b"d"


# --- cancellation ---------------------------------------------------------------------------


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


async def test_cancellation_terminates_the_sandbox_and_the_command(local_sandbox, workspace):
    task = asyncio.create_task(run_workspace_command(
        local_sandbox, ["sh", "-c", "echo $$ > pid; exec sleep 60"], timeout=0, workspace_root=str(workspace)))
    pid_file = workspace / "pid"
    for _ in range(200):
        if pid_file.exists() and pid_file.read_text().strip():
            break
        await asyncio.sleep(0.05)
    pid = int(pid_file.read_text())
    assert alive(pid)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert local_sandbox.terminate_calls == [{"timeout": 10}]
    for _ in range(100):
        if not alive(pid):
            break
        await asyncio.sleep(0.05)
    assert not alive(pid)
    with pytest.raises(ValueError, match="^sandbox command primitive failed: Sandbox is not initialized$"):
        await run_workspace_command(local_sandbox, ["true"], workspace_root=str(workspace))
