"""The Bedrock backend end to end: the real aioboto3 client against the local AgentCore service."""

import asyncio
import base64
import gc
import hashlib
import zipfile
from warnings import catch_warnings, simplefilter

import pytest

bedrock = pytest.importorskip("vorn_sandbox.code_interpreter.bedrock")
import aiohttp  # noqa: E402 - comes with the backend's SDK
from vorn_sandbox.code_interpreter.bedrock import BedrockAgentCoreSandbox  # noqa: E402
from vorn_sandbox.errors import SandboxExecutionError, SandboxStartError, Stage  # noqa: E402
from vorn_sandbox.models import ExecutionStatus, SandboxFile  # noqa: E402

from _cancellation import cancel_at_every_await_point  # noqa: E402

LOGGER = "vorn_sandbox.code_interpreter.bedrock"


@pytest.fixture
async def sandbox(agentcore_local):
    sandbox = BedrockAgentCoreSandbox()
    yield sandbox
    await sandbox.terminate()


def warnings(caplog):
    return [(r.getMessage(), getattr(r, "error_code", None)) for r in caplog.records
            if r.name == LOGGER and r.levelname == "WARNING"]


async def test_lazy_session_keeps_state_until_terminate(sandbox, agentcore_local):
    assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None
    first = await sandbox.execute_code("answer = 41")
    second = await sandbox.execute_code("answer += 1\nprint(answer)")
    assert (first.status, second.status, second.stdout) == (ExecutionStatus.SUCCESS, ExecutionStatus.SUCCESS, "42\n")
    old_id = sandbox.sandbox_id
    assert agentcore_local.live_sessions() == [old_id] and agentcore_local.calls()["start"] == 1
    await sandbox.terminate()
    assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None
    after = await sandbox.execute_code("print('answer' in globals())")
    assert after.stdout == "False\n" and sandbox.sandbox_id not in (None, old_id)
    assert agentcore_local.live_sessions() == [sandbox.sandbox_id]


async def test_overlapping_first_operations_start_one_session(sandbox, agentcore_local):
    results = await asyncio.gather(sandbox.execute_code("print(1)"), sandbox.execute_command("echo 2"))
    assert [r.stdout for r in results] == ["1\n", "2\n"]
    assert agentcore_local.calls()["start"] == 1 and len(agentcore_local.live_sessions()) == 1


def test_one_sandbox_serves_one_event_loop_after_another(agentcore_local):
    sandbox = BedrockAgentCoreSandbox()

    async def job(n):
        try:
            return await asyncio.gather(sandbox.execute_code(f"print({n})"), sandbox.execute_command(f"echo {n}"))
        finally:
            await sandbox.terminate()

    for n in (1, 2):  # each overlapping start contends the start lock under its own loop
        assert [r.stdout for r in asyncio.run(job(n))] == [f"{n}\n"] * 2
    assert agentcore_local.calls()["start"] == 2 and agentcore_local.live_sessions() == []


async def test_language_in_any_letter_case_runs_as_python(agentcore_local):
    sandbox = BedrockAgentCoreSandbox(language="PYTHON")
    try:
        result = await sandbox.execute_code("print(6 * 7)")
        assert (result.status, result.stdout) == (ExecutionStatus.SUCCESS, "42\n")
        assert sandbox.language == "PYTHON"
    finally:
        await sandbox.terminate()


async def test_broken_upload_reply_releases_its_connection(sandbox, agentcore_local, caplog):
    await sandbox.execute_code("pass")
    client = sandbox._client
    replies = []

    async def recording_invoke(**kwargs):
        reply = await type(client).invoke_code_interpreter(client, **kwargs)
        replies.append((kwargs["name"], reply))
        return reply

    client.invoke_code_interpreter = recording_invoke
    # The reply breaks on its first event and stays open far longer than the test.
    agentcore_local.fail_in_stream("InternalServerException", tool="writeFiles", message="disk gone", hold=30)
    result = await sandbox.execute_code("print('ran')", files=[SandboxFile(filename="a.txt", data=b"x")])
    assert result.stdout == "ran\n"
    assert [m for m, _ in warnings(caplog) if m.startswith("Failed to upload files: ") and "disk gone" in m]
    [upload] = [reply for name, reply in replies if name == "writeFiles"]
    assert upload["stream"]._raw_stream.closed  # the aiohttp response: connection closed, not left to the pool


async def test_first_run_cancelled_at_any_await_point_leaves_no_unknown_session(agentcore_local):
    sandbox = BedrockAgentCoreSandbox()

    async def check():
        # A session runs only where the sandbox knows it: a run cancelled after the start keeps its session.
        assert set(agentcore_local.live_sessions()) <= {sandbox.sandbox_id}
        await sandbox.terminate()
        assert agentcore_local.live_sessions() == [] and sandbox._client_context is None

    result, cancelled = await cancel_at_every_await_point(lambda: sandbox.execute_code("print('ok')"), check)
    assert cancelled > 1 and result.stdout == "ok\n"
    assert (await sandbox.execute_code("print('again')")).stdout == "again\n"
    await sandbox.terminate()
    assert agentcore_local.live_sessions() == []


def open_http_clients():
    """aiohttp client sessions and connectors that are alive and not closed, after a collection."""
    gc.collect()
    return [o for o in gc.get_objects()
            if isinstance(o, (aiohttp.ClientSession, aiohttp.BaseConnector)) and not o.closed]


async def poll(condition, seconds=30.0):
    """Whether `condition()` comes to hold within `seconds`; the loop runs meanwhile."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds
    while not condition():
        if loop.time() > deadline:
            return False
        await asyncio.sleep(0.1)
    return True


@pytest.mark.parametrize("late_start", ["makes a session", "fails"])
async def test_start_answered_after_the_capped_wait_is_undone_and_its_client_closed(agentcore_local, monkeypatch,
                                                                                    late_start):
    monkeypatch.setattr("vorn_sandbox.constants.DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", 0.5)
    if late_start == "makes a session":
        agentcore_local.delay_next("start", 3.0)
    else:
        agentcore_local.fail_next("start", "ValidationException", delay=3.0)
    already_open, already_ended = open_http_clients(), set(agentcore_local.ended_sessions())

    def opened_here():
        return [o for o in open_http_clients() if not any(o is old for old in already_open)]

    def ended_here():
        return [how for session, how in agentcore_local.ended_sessions().items() if session not in already_ended]

    with catch_warnings(record=True) as caught:
        simplefilter("always", ResourceWarning)
        sandbox = BedrockAgentCoreSandbox()
        task = asyncio.create_task(sandbox.execute_code("print(1)"))
        assert await poll(lambda: agentcore_local.calls().get("start") == 1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # The caller has left and the service has not answered yet: the client stays open for that answer.
        assert agentcore_local.live_sessions() == [] and ended_here() == []
        assert sandbox.sandbox_id is None and sandbox._client_context is None
        assert opened_here()

        made = 1 if late_start == "makes a session" else 0
        assert await poll(lambda: not opened_here() and agentcore_local.live_sessions() == []
                          and ended_here() == ["stopped"] * made)
        assert agentcore_local.calls().get("start") == 1 and agentcore_local.calls().get("stop", 0) == made
        # A later run opens a client of its own.
        assert (await sandbox.execute_code("print(2)")).stdout == "2\n"
        await sandbox.terminate()
        assert agentcore_local.live_sessions() == [] and not opened_here()
        gc.collect()
    assert [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)] == []


async def test_terminate_cancelled_at_any_await_point_leaves_no_session(agentcore_local):
    sandbox = BedrockAgentCoreSandbox()

    async def start():
        assert (await sandbox.execute_code("print('up')")).stdout == "up\n"

    async def check_then_start():
        assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None
        await start()

    await start()
    _, cancelled = await cancel_at_every_await_point(sandbox.terminate, check_then_start)
    assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None
    assert cancelled > 1 and agentcore_local.calls()["stop"] == cancelled + 1


@pytest.mark.parametrize(
    "cmd,env,status,stdout,error",
    [
        ("echo \"$GREETING\" 'it''s' | tr a-z A-Z", {"GREETING": "hé \"there\""}, ExecutionStatus.SUCCESS,
         "Hé \"THERE\" ITS\n", ""),
        ("printf 'a\\nb'; echo oops >&2", None, ExecutionStatus.SUCCESS, "a\nb", ""),
        ("false", None, ExecutionStatus.ERROR, "", "Execution failed"),
        ("echo partial; exit 4", None, ExecutionStatus.ERROR, "partial\n", "Execution failed"),
        ("ls /no/such/dir", None, ExecutionStatus.ERROR, "", "Execution failed"),
        ("", None, ExecutionStatus.SUCCESS, "", ""),
    ],
)
async def test_commands(sandbox, cmd, env, status, stdout, error):
    result = await sandbox.execute_command(cmd, env=env)
    assert (result.status, result.stdout, result.error) == (status, stdout, error)


async def test_files_up_and_down(sandbox, caplog):
    payload = bytes(range(256))
    result = await sandbox.execute_code(
        "import os; print(sorted(os.listdir('data')), open('data/sub/b.bin','rb').read() == bytes(range(256)))",
        files=[SandboxFile(filename="a.txt", data="héllo".encode()), SandboxFile(filename="sub/b.bin", data=payload)],
        upload_dir="data/",
    )
    assert result.stdout == "['a.txt', 'sub'] True\n"
    assert await sandbox.download_file("data/a.txt") == "héllo".encode()
    assert await sandbox.download_file("data/sub/b.bin") == payload
    assert await sandbox.download_file("missing.txt") is None
    await sandbox.execute_code("pass", files=[SandboxFile(filename="../outside.txt", data=b"x")])
    assert [m for m, _ in warnings(caplog) if m.startswith("File upload error: ")]


async def test_time_limits(sandbox, agentcore_local, caplog):
    slow = await sandbox.execute_code("import time; time.sleep(0.6); print('done')", timeout=0.2)
    assert (slow.status, slow.error) == (ExecutionStatus.TIMEOUT, "Execution exceeded timeout of 0.2 seconds")
    unbounded = await sandbox.execute_code("print('next')", timeout=0)
    assert unbounded.stdout == "next\n"  # the session outlives a client-side time-out
    agentcore_local.stall_stream(1.0, tool="readFiles")
    assert await sandbox.download_file("x", timeout=0.2) is None
    assert ("Download of x exceeded timeout of 0.2 seconds", Stage.DOWNLOAD) in warnings(caplog)


async def test_service_errors(agentcore_local, monkeypatch, caplog):
    monkeypatch.setenv("AWS_MAX_ATTEMPTS", "1")
    sandbox = BedrockAgentCoreSandbox()
    agentcore_local.fail_next("start", "ThrottlingException", message="Rate exceeded")
    with pytest.raises(SandboxStartError) as caught:
        await sandbox.execute_code("pass")
    assert caught.value.stage == Stage.SESSION_START
    assert caught.value.__cause__.response["Error"]["Code"] == "ThrottlingException"
    assert "Rate exceeded" in str(caught.value)
    assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None

    assert (await sandbox.execute_code("pass")).status is ExecutionStatus.SUCCESS
    agentcore_local.fail_next("invoke", "AccessDeniedException", tool="executeCode")
    denied = await sandbox.execute_code("pass")
    assert denied.status is ExecutionStatus.ERROR and "AccessDeniedException" in denied.error
    agentcore_local.fail_in_stream("InternalServerException", message="kernel died")
    broken = await sandbox.execute_code("pass")
    assert broken.status is ExecutionStatus.ERROR and "kernel died" in broken.error

    session_id = sandbox.sandbox_id
    agentcore_local.fail_next("stop", "ValidationException")
    await sandbox.terminate()
    assert sandbox.sandbox_id is None
    [(message, code)] = warnings(caplog)
    assert message.startswith("Error stopping session: ") and code == Stage.TERMINATE
    assert agentcore_local.live_sessions() == [session_id]  # left to its server-side time-out


async def test_expired_session_answers_errors_until_terminate(agentcore_local):
    sandbox = BedrockAgentCoreSandbox(sandbox_timeout=1)
    await sandbox.execute_code("pass")
    await asyncio.sleep(1.5)
    gone = await sandbox.execute_code("pass")
    assert gone.status is ExecutionStatus.ERROR and "ResourceNotFoundException" in gone.error
    await sandbox.terminate()
    assert (await sandbox.execute_code("print('fresh')")).stdout == "fresh\n"
    await sandbox.terminate()


def tiny_wheel(directory, name="vorn_probe", version="1.0"):
    dist_info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": b"VALUE = 42\n",
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode(),
        f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = [f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},"
              f"{len(data)}" for path, data in files.items()] + [f"{dist_info}/RECORD,,"]
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = directory / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as wheel:
        for member, data in files.items():
            wheel.writestr(member, data)
    return str(path)


@pytest.mark.slow
async def test_additional_packages_install_at_every_session_start(agentcore_local, tmp_path):
    sandbox = BedrockAgentCoreSandbox(additional_packages=[tiny_wheel(tmp_path)])
    try:
        for _ in range(2):
            result = await sandbox.execute_code("import vorn_probe; print(vorn_probe.VALUE)")
            assert result.stdout == "42\n", result
            await sandbox.terminate()
        assert agentcore_local.calls()["start"] == 2
    finally:
        await sandbox.terminate()


@pytest.mark.slow
async def test_failed_install_stops_the_session(agentcore_local, tmp_path):
    sandbox = BedrockAgentCoreSandbox(additional_packages=[str(tmp_path / "missing-1.0-py3-none-any.whl")])
    with pytest.raises(SandboxExecutionError) as caught:
        await sandbox.execute_command("true")
    assert caught.value.stage == Stage.PACKAGE_INSTALL
    assert agentcore_local.live_sessions() == [] and sandbox.sandbox_id is None
    assert agentcore_local.calls()["stop"] == 1
