"""The primitives through the E2B backend: the real SDK against the local E2B service."""

import asyncio

import pytest

e2b_backend = pytest.importorskip("vorn_sandbox.code_interpreter.e2b")
if not hasattr(e2b_backend, "E2BSandbox"):
    pytest.skip("the E2B backend is not built into this package", allow_module_level=True)

from vorn_sandbox.code_interpreter import run_workspace_command, write_workspace_file  # noqa: E402
from vorn_sandbox.models import ExecutionStatus, WorkspaceFileWriteRequest  # noqa: E402


@pytest.fixture
async def sandbox(e2b_local):
    backend = await e2b_backend.E2BSandbox.create(e2b_local.api_key)
    yield backend
    if backend.sandbox is not None:
        await backend.terminate()


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_command_and_write(sandbox):
    where = await run_workspace_command(sandbox, ["pwd"])
    assert where.status is ExecutionStatus.SUCCESS, where
    root = where.stdout.strip()

    request = WorkspaceFileWriteRequest(relative_path="made/by primitive.txt", data="é\n".encode(), max_bytes=8)
    written = await write_workspace_file(sandbox, request)
    assert (written.bytes_written, written.overwritten, written.path) == (3, False, "made/by primitive.txt")
    assert await sandbox.download_file(f"{root}/made/by primitive.txt") == "é\n".encode()

    shown = await run_workspace_command(sandbox, ["cat", "by primitive.txt"], cwd_components=("made",),
                                        max_output_bytes=1)
    assert (shown.stdout, shown.stdout_byte_count, shown.stdout_truncated) == ("\ufffd", 3, True)

    escaped = await run_workspace_command(sandbox, ["sh", "-c", "echo x > ../escaped"], workspace_root=root)
    assert escaped.status is ExecutionStatus.ERROR
    with pytest.raises(ValueError, match="path must remain below the workspace root"):
        await write_workspace_file(sandbox, WorkspaceFileWriteRequest(relative_path="../x", data=b"x", max_bytes=1))


async def test_cancellation_terminates_the_sandbox(e2b_local):
    backend = await e2b_backend.E2BSandbox.create(e2b_local.api_key)
    sandbox_id = backend.sandbox_id
    task = asyncio.create_task(run_workspace_command(backend, ["sleep", "60"], timeout=0))
    await asyncio.sleep(1.0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert backend.sandbox is None and sandbox_id is not None
    assert e2b_local.wait_until_no_sandboxes(timeout=5)
