"""The Bedrock backend against a fake aioboto3 session: every failure path of start, run, upload, download, stop."""

import asyncio
import logging
import time

import pytest

from _bedrock_fakes import HANG, FakeStream, attach, code_event, reply, until

bedrock = pytest.importorskip("vorn_sandbox.code_interpreter.bedrock")
from vorn_sandbox.code_interpreter.bedrock import BedrockAgentCoreSandbox  # noqa: E402
from vorn_sandbox.errors import SandboxExecutionError, SandboxNotInitializedError, SandboxStartError, Stage  # noqa: E402
from vorn_sandbox.models import ExecutionStatus, SandboxFile  # noqa: E402

LOGGER = "vorn_sandbox.code_interpreter.bedrock"
INTERPRETER = "aws.codeinterpreter.v1"


@pytest.fixture(autouse=True)
def _logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)


def records(caplog, level=None):
    return [(r.levelname, r.getMessage(), getattr(r, "error_code", None)) for r in caplog.records
            if r.name == LOGGER and (level is None or r.levelname == level)]


def session_fields(sandbox):
    return sandbox._client, sandbox._client_context, sandbox._session_id, sandbox._is_started


IDLE = (None, None, None, False)


@pytest.fixture
def sandbox():
    return BedrockAgentCoreSandbox()


@pytest.fixture
def fake(sandbox):
    return attach(sandbox)


# -- session start ------------------------------------------------------------


async def test_first_run_starts_one_session_and_later_runs_reuse_it(sandbox, fake):
    before = int(time.time())
    await sandbox.execute_code("a")
    await sandbox.execute_code("b")
    [start] = [kw for name, kw in fake.client.calls if name == "start_code_interpreter_session"]
    assert list(start) == ["codeInterpreterIdentifier", "name", "sessionTimeoutSeconds"]
    assert start["codeInterpreterIdentifier"] == INTERPRETER and start["sessionTimeoutSeconds"] == 600
    assert start["name"].startswith("bedrock-sandbox-") and before <= int(start["name"][16:]) <= time.time()
    assert fake.service_names == ["bedrock-agentcore"]
    assert sandbox.sandbox_id == "fake-session-1"


async def test_overlapping_first_operations_share_one_start(sandbox, fake):
    release = asyncio.Event()

    async def slow_start():
        await release.wait()
        return {"sessionId": "shared"}

    fake.client.start_answer = slow_start
    runs = asyncio.gather(sandbox.execute_code("a"), sandbox.execute_command("true"))
    await until(lambda: fake.client.names().count("start_code_interpreter_session") == 1)
    await asyncio.sleep(0.01)
    release.set()
    results = await runs
    assert [r.status for r in results] == [ExecutionStatus.SUCCESS] * 2
    assert fake.client.names().count("start_code_interpreter_session") == 1
    assert {kw["sessionId"] for kw in fake.client.invocations()} == {"shared"}


@pytest.mark.parametrize(
    "where,stopped",
    [("enter", False), ("start", False), ("no-session-id", False)],
)
async def test_failed_start_rolls_back_and_raises_start_error(sandbox, fake, caplog, where, stopped):
    failure = RuntimeError("boom")
    if where == "enter":
        fake.enter_answer = failure
    elif where == "start":
        fake.client.start_answer = failure
    else:
        fake.client.start_answer = {"other": 1}
    with pytest.raises(SandboxStartError) as caught:
        await sandbox.execute_code("x")
    error = caught.value
    assert error.stage == Stage.SESSION_START
    assert str(error).startswith("Failed to start Bedrock session: ")
    assert isinstance(error.__cause__, KeyError if where == "no-session-id" else RuntimeError)
    assert session_fields(sandbox) == IDLE
    assert len(fake.exits) == 1 and fake.exits[0] == (None, None, None)
    assert ("stop_code_interpreter_session" in fake.client.names()) is stopped
    assert not fake.client.invocations()
    [(level, message, code)] = records(caplog, "ERROR")
    assert message.startswith("Failed to start Bedrock session: ") and code == Stage.SESSION_START


@pytest.mark.parametrize("ending", ["makes a session", "fails", "is cancelled"])
async def test_start_outliving_the_capped_wait_keeps_its_client_until_it_ends(sandbox, fake, caplog, monkeypatch,
                                                                               ending):
    monkeypatch.setattr("vorn_sandbox.constants.DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", 0.05)  # the wait for the start
    answer = asyncio.Event()

    async def late_start():
        await answer.wait()
        if ending == "fails":
            raise RuntimeError("late failure")
        return {"sessionId": "late"}

    fake.client.start_answer = late_start
    exits_at_stop = []
    fake.client.stop_answer = lambda: exits_at_stop.append(len(fake.exits))
    task = asyncio.create_task(sandbox.execute_code("x"))
    await until(lambda: "start_code_interpreter_session" in fake.client.names())
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert session_fields(sandbox) == IDLE and fake.exits == []  # the start in flight still needs its client

    if ending == "is cancelled":
        [starting] = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        starting.cancel()
    else:
        answer.set()
    await until(lambda: fake.exits)
    assert len(fake.exits) == 1
    assert exits_at_stop == ([0] if ending == "makes a session" else [])  # stopped before the client closed
    assert records(caplog, "ERROR") == []
    fake.client.start_answer = {"sessionId": "next"}
    assert (await sandbox.execute_code("y")).status is ExecutionStatus.SUCCESS
    assert fake.entered == 2 and sandbox.sandbox_id == "next"


async def test_session_started_after_the_caller_was_cancelled_is_stopped(sandbox, fake):
    release = asyncio.Event()

    async def late_start():
        await release.wait()
        return {"sessionId": "late"}

    fake.client.start_answer = late_start
    task = asyncio.create_task(sandbox.execute_code("x"))
    await until(lambda: "start_code_interpreter_session" in fake.client.names())
    task.cancel()
    await asyncio.sleep(0.01)
    release.set()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert fake.client.calls[-1] == ("stop_code_interpreter_session",
                                     {"codeInterpreterIdentifier": INTERPRETER, "sessionId": "late"})
    assert session_fields(sandbox) == IDLE and len(fake.exits) == 1
    assert (await sandbox.execute_code("y")).status is ExecutionStatus.SUCCESS


async def test_failed_install_stops_the_session_and_raises_the_install_error(fake):
    sandbox = BedrockAgentCoreSandbox(additional_packages=["pkg"])
    attach(sandbox, fake)
    fake.client.invoke_answers["executeCode"] = [
        lambda: reply(code_event(stderr="RuntimeError: no such package", is_error=True)),
        lambda: reply(code_event("ran")),
    ]
    with pytest.raises(SandboxExecutionError) as caught:
        await sandbox.execute_code("print('ran')")
    assert caught.value.stage == Stage.PACKAGE_INSTALL
    assert fake.client.names() == ["start_code_interpreter_session", "invoke_code_interpreter",
                                   "stop_code_interpreter_session"]
    assert session_fields(sandbox) == IDLE
    fake.client.invoke_answers["executeCode"] = lambda: reply(code_event("ok"))
    result = await sandbox.execute_code("x")
    assert result.stdout == "ok"
    assert fake.client.names().count("start_code_interpreter_session") == 2
    assert len(fake.client.invocations("executeCode")) == 3  # the install ran again before the code


# -- code execution -----------------------------------------------------------


async def test_invocation_hanging_past_the_limit_is_a_timeout_result(sandbox, fake, caplog):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = HANG
    result = await sandbox.execute_code("x", timeout=0.05)
    assert (result.status, result.stdout, result.stderr, result.exit_code) == (ExecutionStatus.TIMEOUT, "", "", 1)
    assert result.error == "Execution exceeded timeout of 0.05 seconds"
    assert ("WARNING", "Code execution exceeded timeout of 0.05s", None) in records(caplog)
    assert sandbox.sandbox_id == "fake-session-1"  # the session is not stopped
    assert "stop_code_interpreter_session" not in fake.client.names()


async def test_the_limit_covers_the_call_only_not_upload_or_stream(sandbox, fake):
    async def slow_upload():
        await asyncio.sleep(0.1)
        return reply()

    async def slow_event():
        await asyncio.sleep(0.1)
        return code_event("late")

    fake.client.invoke_answers["writeFiles"] = slow_upload
    fake.client.invoke_answers["executeCode"] = lambda: reply(slow_event)
    result = await sandbox.execute_code("x", timeout=0.05, files=[SandboxFile(filename="a", data=b"1")])
    assert (result.status, result.stdout) == (ExecutionStatus.SUCCESS, "late")


async def test_request_and_unused_callbacks(fake):
    sandbox = BedrockAgentCoreSandbox(language="PYTHON")
    attach(sandbox, fake)
    seen = []
    await sandbox.execute_code("print(1)", on_stdout=seen.append, on_stderr=seen.append, extra="ignored")
    [request] = fake.client.invocations("executeCode")
    assert request == {"codeInterpreterIdentifier": INTERPRETER, "sessionId": "fake-session-1",
                       "name": "executeCode", "arguments": {"language": "python", "code": "print(1)"}}
    assert list(request) == ["codeInterpreterIdentifier", "sessionId", "name", "arguments"]
    assert sandbox.language == "PYTHON"
    assert seen == []


TRACEBACK = "Traceback (most recent call last):\n  File \"<string>\", line 1\nValueError: bad\n"


@pytest.mark.parametrize(
    "events,status,stdout,error",
    [
        ([code_event("a"), code_event("b")], ExecutionStatus.SUCCESS, "b", ""),
        ([code_event("a"), {"result": {"structuredContent": {"stderr": "x"}}}], ExecutionStatus.SUCCESS, "", ""),
        ([code_event("a"), {}, {"result": None}, {"result": {"isError": True}}], ExecutionStatus.SUCCESS, "a", ""),
        ([code_event(stderr=TRACEBACK, is_error=True)], ExecutionStatus.ERROR, "", "ValueError: bad"),
        ([code_event(stderr="KeyError: 'k'\nplain line\n", is_error=True)], ExecutionStatus.ERROR, "", "KeyError: 'k'"),
        ([code_event(stderr="error: lower case only", is_error=True)], ExecutionStatus.ERROR, "", "Execution failed"),
        ([code_event(stderr="ValueError: x", is_error=True), code_event("after")], ExecutionStatus.ERROR, "after",
         "ValueError: x"),
        # A flagged run without standard error: its exit code decides.
        ([code_event(is_error=True, exitCode=1)], ExecutionStatus.ERROR, "", "Execution failed"),
        ([code_event(is_error=True, exitCode=0)], ExecutionStatus.SUCCESS, "", ""),
        ([code_event(is_error=True)], ExecutionStatus.SUCCESS, "", ""),
        ([code_event(is_error=False, exitCode=2)], ExecutionStatus.SUCCESS, "", ""),
    ],
    ids=["last-event-wins", "missing-keys-read-empty", "events-without-structured-content", "traceback-line",
         "last-matching-line", "case-sensitive", "error-kept", "flagged-exit-code", "flagged-exit-zero",
         "flagged-no-exit-code", "unflagged-exit-code"],
)
async def test_reply_parsing(sandbox, fake, events, status, stdout, error):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = lambda: reply(*events)
    result = await sandbox.execute_code("x")
    assert (result.status, result.stdout, result.error) == (status, stdout, error)
    assert result.exit_code == (0 if status is ExecutionStatus.SUCCESS else 1)


@pytest.mark.parametrize(
    "structured,status,stdout,stderr,error",
    [
        # Output the service decoded from a "\\udcff" escape passes through as sent.
        ({"stdout": "a\udcff"}, ExecutionStatus.SUCCESS, "a\udcff", "", ""),
        ({"stdout": "", "stderr": "x\ud800\nKeyError: '\ud800'\n"}, ExecutionStatus.ERROR, "",
         "x\ud800\nKeyError: '\ud800'\n", "KeyError: '\ud800'"),
        # Stripped as str.strip strips: the no-break space and the line separator are white space.
        ({"stderr": "\u00a0 OSError: gone \u2028"}, ExecutionStatus.ERROR, "", "\u00a0 OSError: gone \u2028",
         "OSError: gone"),
    ],
    ids=["lone-surrogate-output", "lone-surrogate-error-line", "unicode-white-space"],
)
async def test_reply_texts_pass_through_as_python_reads_them(sandbox, fake, caplog, structured, status, stdout,
                                                              stderr, error):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = lambda: reply(
        {"result": {"structuredContent": structured, "isError": status is ExecutionStatus.ERROR}})
    result = await sandbox.execute_code("x")
    assert (result.status, result.stdout, result.stderr, result.error) == (status, stdout, stderr, error)
    assert records(caplog, "ERROR") == []


async def test_output_that_is_not_text_fails_the_result_not_the_parse(sandbox, fake, caplog):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = lambda: reply({"result": {"structuredContent": {"stdout": None}}})
    result = await sandbox.execute_code("x")
    assert result.status is ExecutionStatus.ERROR and "stdout" in result.error
    [(_, message, _)] = records(caplog, "ERROR")
    assert message.startswith("Code execution failed: ")


@pytest.mark.parametrize(
    "answer,stdout",
    [
        ({"no": "stream"}, ""),
        ({"stream": FakeStream([code_event("kept"), "not a mapping"])}, "kept"),
        ({"stream": FakeStream([code_event("kept"), {"result": {"structuredContent": "not a mapping"}}])}, "kept"),
        ({"stream": FakeStream([code_event("kept"), RuntimeError("stream broke")])}, "kept"),
    ],
    ids=["no-stream", "event-not-mapping", "malformed-structured-content", "stream-raises"],
)
async def test_unreadable_reply_is_an_error_result(sandbox, fake, caplog, answer, stdout):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = answer
    result = await sandbox.execute_code("x")
    assert result.status is ExecutionStatus.ERROR and result.error
    assert (result.stdout, result.stderr) == (stdout, "")  # what the events gave before the failure
    assert ("ERROR", "Error parsing execution response: " + result.error, None) in records(caplog)


async def test_service_error_is_an_error_result_and_cancellation_passes(sandbox, fake, caplog):
    await sandbox.execute_code("warm up")
    fake.client.invoke_answers["executeCode"] = RuntimeError("throttled")
    result = await sandbox.execute_code("x")
    assert (result.status, result.error) == (ExecutionStatus.ERROR, "throttled")
    assert ("ERROR", "Code execution failed: throttled", None) in records(caplog)
    fake.client.invoke_answers["executeCode"] = HANG
    task = asyncio.create_task(sandbox.execute_code("x", timeout=0))
    await until(lambda: len(fake.client.invocations("executeCode")) == 3)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


# -- shell commands -----------------------------------------------------------


@pytest.mark.parametrize(
    "cmd,env",
    [
        ("echo hi", None),
        ("echo 'hi'", {}),
        ("echo 'a' \"b\"", {"A": "1", "B": "x'y\"z"}),
        ("printf 'a\\\\b\\n'\ttab", {"K\\": "v\nw"}),
        ("echo héllo \u2028 \x00", {"Ü": "ö"}),
        ("", None),
    ],
)
async def test_command_script_carries_command_and_env_as_python_literals(sandbox, fake, cmd, env):
    result = await sandbox.execute_command(cmd, env=env, timeout=7)
    prelude = "".join(["import os\n", *(f"os.environ[{k!r}] = {v!r}\n" for k, v in env.items())]) if env else ""
    expected = (prelude + "import subprocess\n_r = subprocess.run(" + repr(cmd)
                + ", shell=True, capture_output=True, text=True)\nprint(_r.stdout, end='')\n"
                "import sys; sys.stderr.write(_r.stderr); sys.exit(_r.returncode)\n")
    assert result.code == expected
    assert fake.client.invocations("executeCode")[-1]["arguments"]["code"] == expected


# -- file upload --------------------------------------------------------------


async def test_upload_writes_all_files_in_one_request_and_only_warns(sandbox, fake, caplog):
    files = [SandboxFile(filename="a.txt", data=b"1"), SandboxFile(filename="tools/x.py", data=b"")]
    fake.client.invoke_answers["writeFiles"] = [
        lambda: reply({"result": {"isError": True, "content": ["one"]}}, {}, {"result": {"isError": True}}),
        RuntimeError("denied"),
    ]
    first = await sandbox.execute_code("x", files=files, upload_dir="/data//")
    second = await sandbox.execute_code("y", files=files)
    assert first.status is second.status is ExecutionStatus.SUCCESS
    contents = [kw["arguments"]["content"] for kw in fake.client.invocations("writeFiles")]
    assert contents == [
        [{"path": "/data/a.txt", "blob": b"1"}, {"path": "/data/tools/x.py", "blob": b""}],
        [{"path": "a.txt", "blob": b"1"}, {"path": "tools/x.py", "blob": b""}],
    ]
    warnings = [message for level, message, _ in records(caplog, "WARNING")]
    assert [w.split(":")[0] for w in warnings] == ["File upload error", "File upload error", "Failed to upload files"]
    assert warnings[2] == "Failed to upload files: denied"
    assert [kw["name"] for kw in fake.client.invocations()] == ["writeFiles", "executeCode"] * 2


# -- file download ------------------------------------------------------------


async def test_download_never_starts_a_session(sandbox, fake):
    with pytest.raises(SandboxNotInitializedError, match="Sandbox is not started"):
        await sandbox.download_file("a.txt")
    await sandbox.execute_code("x")
    await sandbox.terminate()
    with pytest.raises(SandboxNotInitializedError):
        await sandbox.download_file("a.txt")
    assert fake.client.invocations("readFiles") == []


def resource(**fields):
    return {"type": "resource", "resource": fields}


@pytest.mark.parametrize(
    "events,expected",
    [
        ([{"result": {"content": [{"type": "image", "data": b""}, resource(text="abc")]}}], b"abc"),
        ([{"result": {"content": [resource(text="", blob=b"\x00\x01")]}}], b"\x00\x01"),
        ([{"result": {"content": [resource(text="tëxt", blob=b"no")]}}], "tëxt".encode()),
        ([{"result": {"content": [resource(blob="aGk=")]}}], b"aGk="),
        ([{"result": {"content": [resource(blob=bytearray(b"x"))]}}, {"result": {"content": [resource(text="y")]}}],
         b"y"),
        ([{"result": {"content": [{"type": "image", "data": b"\x89PNG"}]}}], b"\x89PNG"),
        ([{}, {"result": {"isError": True}}, {"result": {"content": [{"type": "text", "text": "t"}]}}], None),
        ([{"result": {"content": [resource(text="")]}}], None),
    ],
    ids=["image-empty-then-resource", "blob-when-text-empty", "text-wins", "string-blob-not-decoded",
         "bytearray-skipped", "image", "nothing-usable", "empty-file"],
)
async def test_download_payloads(sandbox, fake, events, expected):
    await sandbox.execute_code("x")
    stream = FakeStream(events)
    fake.client.invoke_answers["readFiles"] = {"stream": stream}
    assert await sandbox.download_file("f") == expected
    assert stream.close_calls == 1
    [request] = fake.client.invocations("readFiles")
    assert request["arguments"] == {"paths": ["f"]} and request["sessionId"] == "fake-session-1"


@pytest.mark.parametrize("close", ["sync", "async", RuntimeError("close broke"), None])
@pytest.mark.parametrize("how", ["found", "walk-error", "timeout", "cancelled"])
async def test_download_always_closes_its_stream(sandbox, fake, caplog, close, how):
    await sandbox.execute_code("x")
    events = {
        "found": [{"result": {"content": [resource(text="abc")]}}],
        "walk-error": [{"result": {"content": ["not a mapping"]}}],
        "timeout": [HANG],
        "cancelled": [HANG],
    }[how]
    stream = FakeStream(events, close=close)
    fake.client.invoke_answers["readFiles"] = {"stream": stream}
    if how == "cancelled":
        task = asyncio.create_task(sandbox.download_file("f", timeout=0))
        await until(lambda: fake.client.invocations("readFiles"))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    else:
        result = await sandbox.download_file("f", timeout=0.05)
        assert result == (b"abc" if how == "found" else None)
    assert stream.close_calls == (0 if close is None else 1)
    warnings = [message for _, message, _ in records(caplog, "WARNING")]
    assert ("Failed to close response stream: close broke" in warnings) is isinstance(close, RuntimeError)
    if how == "timeout":
        assert ("WARNING", "Download of f exceeded timeout of 0.05 seconds", Stage.DOWNLOAD) in records(caplog)
    if how == "walk-error":
        assert any(m.startswith("Error parsing file response: ") for _, m, _ in records(caplog, "ERROR"))


async def test_stream_whose_close_cannot_be_looked_up_fails_the_download(sandbox, fake, caplog):
    class Stream(FakeStream):
        @property
        def close(self):
            raise RuntimeError("no close today")

    await sandbox.execute_code("x")
    events = [{"result": {"content": [resource(text="abc")]}}]
    fake.client.invoke_answers["readFiles"] = {"stream": Stream(events, close=None)}
    assert await sandbox.download_file("f") is None
    assert ("WARNING", "Failed to download file f: no close today", None) in records(caplog)


async def test_failed_download_invocation_is_none_with_a_warning(sandbox, fake, caplog):
    await sandbox.execute_code("x")
    fake.client.invoke_answers["readFiles"] = RuntimeError("gone")
    assert await sandbox.download_file("dir/f.txt") is None
    assert ("WARNING", "Failed to download file dir/f.txt: gone", None) in records(caplog)
    fake.client.invoke_answers["readFiles"] = {"no": "stream"}
    assert await sandbox.download_file("f") is None


async def test_failures_naming_undecodable_paths_are_still_swallowed(sandbox, fake, caplog):
    # A path from os.listdir of a name that is no UTF-8 holds a lone surrogate.
    path = b"dir/\xff.bin".decode("utf-8", "surrogateescape")
    await sandbox.execute_code("x")
    fake.client.invoke_answers["readFiles"] = RuntimeError(f"no such file {path}")
    assert await sandbox.download_file(path) is None
    fake.client.invoke_answers["readFiles"] = {"stream": FakeStream([RuntimeError(path)], close=RuntimeError(path))}
    assert await sandbox.download_file(path) is None
    fake.client.invoke_answers["writeFiles"] = RuntimeError(path)
    result = await sandbox.execute_code("y", files=[SandboxFile(filename=path, data=b"")])
    assert result.status is ExecutionStatus.SUCCESS
    messages = [message for _, message, _ in records(caplog) if path in message]
    assert messages == [f"Failed to download file {path}: no such file {path}", f"Error parsing file response: {path}",
                        f"Failed to close response stream: {path}", f"Failed to upload files: {path}"]


# -- terminate ----------------------------------------------------------------


async def test_terminate_stops_closes_and_clears(sandbox, fake, caplog):
    await sandbox.terminate()
    assert fake.client.calls == [] and records(caplog, "INFO")[1:] == []
    await sandbox.execute_code("x")
    await sandbox.terminate(timeout=3)
    assert fake.client.calls[-1] == ("stop_code_interpreter_session",
                                     {"codeInterpreterIdentifier": INTERPRETER, "sessionId": "fake-session-1"})
    assert session_fields(sandbox) == IDLE and len(fake.exits) == 1
    assert ("INFO", "Stopped Bedrock session fake-session-1", None) in records(caplog)


@pytest.mark.parametrize("timeout", [0, -1])
async def test_terminate_refuses_a_non_positive_timeout(sandbox, fake, timeout):
    await sandbox.execute_code("x")
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await sandbox.terminate(timeout=timeout)
    assert sandbox._is_started and "stop_code_interpreter_session" not in fake.client.names()


@pytest.mark.parametrize("stop", [RuntimeError("stop failed"), HANG])
async def test_failed_or_hanging_stop_is_logged_and_state_cleared(sandbox, fake, caplog, stop):
    await sandbox.execute_code("x")
    fake.client.stop_answer = stop
    await sandbox.terminate(timeout=0.05)
    assert session_fields(sandbox) == IDLE and len(fake.exits) == 1
    [(level, message, code)] = [r for r in records(caplog, "WARNING")]
    assert message.startswith("Error stopping session: ") and code == Stage.TERMINATE
    if stop is not HANG:
        assert message == "Error stopping session: stop failed"


async def test_failed_client_close_is_logged_and_state_cleared(sandbox, fake, caplog):
    await sandbox.execute_code("x")
    fake.exit_answer = RuntimeError("close failed")
    await sandbox.terminate()
    assert session_fields(sandbox) == IDLE
    assert ("WARNING", "Error closing client context: close failed", None) in records(caplog)


@pytest.mark.parametrize("where", ["stop", "close"])
async def test_cancelled_terminate_still_clears_the_session(sandbox, fake, where):
    await sandbox.execute_code("x")
    if where == "stop":
        fake.client.stop_answer = HANG
    else:
        fake.exit_answer = HANG
    task = asyncio.create_task(sandbox.terminate())
    await until(lambda: ("stop_code_interpreter_session" in fake.client.names()) if where == "stop" else fake.exits)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert session_fields(sandbox) == IDLE
    assert sandbox.sandbox_id is None
    with pytest.raises(SandboxNotInitializedError):
        await sandbox.download_file("f")


async def test_terminate_without_session_id_closes_without_stop(sandbox, fake, caplog):
    await sandbox.execute_code("x")
    sandbox._session_id = None
    await sandbox.terminate()
    assert "stop_code_interpreter_session" not in fake.client.names()
    assert len(fake.exits) == 1 and session_fields(sandbox) == IDLE
    assert not [m for _, m, _ in records(caplog) if m.startswith("Stopped")]


# -- tracing ------------------------------------------------------------------


async def test_one_span_per_operation_nested_where_operations_nest(sandbox, fake, exporter):
    exporter.clear()
    await sandbox.execute_command("true")
    fake.client.invoke_answers["readFiles"] = reply({"result": {"content": [resource(text="x")]}})
    await sandbox.download_file("f.txt")
    await sandbox.terminate()
    spans = {span.name: span for span in exporter.get_finished_spans()}
    assert sorted(spans) == sorted(["vorn_sandbox.execute_command", "vorn_sandbox.execute_code",
                                    "vorn_sandbox.sandbox.create", "vorn_sandbox.file.download",
                                    "vorn_sandbox.sandbox.terminate"])
    parent_of = {name: span.parent.span_id if span.parent else None for name, span in spans.items()}
    span_id = {name: span.context.span_id for name, span in spans.items()}
    assert parent_of["vorn_sandbox.sandbox.create"] == span_id["vorn_sandbox.execute_code"]
    assert parent_of["vorn_sandbox.execute_code"] == span_id["vorn_sandbox.execute_command"]
    assert all(span.attributes["vorn_sandbox.backend"] == "bedrock" for span in spans.values())
    for name in ("vorn_sandbox.execute_command", "vorn_sandbox.execute_code", "vorn_sandbox.file.download"):
        assert spans[name].attributes["vorn_sandbox.sandbox_id"] == "fake-session-1"
        assert spans[name].attributes["vorn_sandbox.status"] == "success"
    assert spans["vorn_sandbox.file.download"].attributes["vorn_sandbox.file_path"] == "f.txt"
    assert spans["vorn_sandbox.sandbox.create"].attributes["vorn_sandbox.sandbox_id"] == "fake-session-1"
    assert spans["vorn_sandbox.sandbox.terminate"].attributes["vorn_sandbox.sandbox_id"] == "fake-session-1"
