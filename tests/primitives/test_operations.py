"""The public coroutines over a scripted backend: calls made, errors surfaced, cancellation."""

import asyncio
import inspect
import json
import typing

import pytest

import vorn_sandbox.code_interpreter.primitives as operations
import vorn_sandbox.primitives as client
from vorn_sandbox.code_interpreter import run_workspace_command, write_workspace_file
from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox
from vorn_sandbox.errors import SandboxExecutionError, SandboxNotInitializedError, SandboxTerminateError, Stage
from vorn_sandbox.models import (CommandResult, ExecutionResult, ExecutionStatus, WorkspaceFileWriteRequest,
                                 WorkspaceFileWriteResult)

# The scripted backend never runs the program, so any runner source will do.
pytestmark = pytest.mark.usefixtures("stub_runner")

COMMAND_PREFIX = "sandbox command primitive failed: "
WRITE_PREFIX = "sandbox file-write primitive failed: "
SUCCESS_REPLY = {"ok": True, "status": "success", "exit_code": 0, "stdout_b64": "aGk=", "stdout_byte_count": 2,
                 "stdout_captured_byte_count": 2, "error": ""}
WRITE_REPLY = {"ok": True, "status": "success", "path": "x", "bytes_written": 2, "overwritten": False,
               "duration_ms": 1, "error": ""}


def answer(reply, noise="noise before\n"):
    return ExecutionResult(status=ExecutionStatus.SUCCESS, stdout=noise + json.dumps(reply) + "\n")


class ScriptedSandbox(CodeInterpreterSandbox):
    """`execute_code` answers with a prepared result or raises a prepared exception, and records its calls."""

    def __init__(self, outcome=None, *, terminate_outcome=None, terminate_delay=0.0):
        super().__init__()
        self.outcome = outcome
        self.calls = []
        self.terminate_calls = []
        self.terminate_outcome = terminate_outcome
        self.terminate_delay = terminate_delay
        self.terminate_finished = False
        self.terminate_cancelled = False
        self.seen_cancellation = None
        self.started = asyncio.Event()

    async def execute_code(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.started.set()
        if self.outcome == "block":
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError as cancelled:
                self.seen_cancellation = cancelled
                raise
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    async def terminate(self, *args, **kwargs):
        self.terminate_calls.append((args, kwargs))
        try:
            await asyncio.sleep(self.terminate_delay)
        except asyncio.CancelledError:
            self.terminate_cancelled = True
            raise
        if self.terminate_outcome is not None:
            raise self.terminate_outcome
        self.terminate_finished = True

    async def execute_command(self, *args, **kwargs):
        raise AssertionError("not used")

    set_timeout = download_file = execute_command
    sandbox_id = property(lambda self: "scripted")


def write_request(data=b"hi", **fields):
    return WorkspaceFileWriteRequest(relative_path="dir/x", data=data, max_bytes=fields.pop("max_bytes", 16), **fields)


# --- surface ------------------------------------------------------------------------------


def test_signatures():
    command = inspect.signature(run_workspace_command)
    assert [(p.name, p.kind, p.default) for p in command.parameters.values()] == [
        ("sandbox", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("argv", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("cwd_components", inspect.Parameter.KEYWORD_ONLY, None),
        ("env", inspect.Parameter.KEYWORD_ONLY, None),
        ("env_allowlist", inspect.Parameter.KEYWORD_ONLY, ()),
        ("timeout", inspect.Parameter.KEYWORD_ONLY, 30.0),
        ("max_output_bytes", inspect.Parameter.KEYWORD_ONLY, 1048576),
        ("workspace_root", inspect.Parameter.KEYWORD_ONLY, None),
    ]
    assert [(p.name, p.kind) for p in inspect.signature(write_workspace_file).parameters.values()] == [
        ("sandbox", inspect.Parameter.POSITIONAL_OR_KEYWORD), ("request", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        ("workspace_root", inspect.Parameter.KEYWORD_ONLY)]
    assert inspect.iscoroutinefunction(run_workspace_command) and inspect.iscoroutinefunction(write_workspace_file)
    assert command.parameters["sandbox"].annotation is CodeInterpreterSandbox
    assert inspect.signature(write_workspace_file).return_annotation is WorkspaceFileWriteResult
    assert operations.__all__ == ["run_workspace_command", "write_workspace_file"]


Names = tuple[str, ...]
JsonObject = dict[str, typing.Any]


@pytest.mark.parametrize("function, hints", [
    (run_workspace_command, {
        "sandbox": CodeInterpreterSandbox, "argv": list[str], "cwd_components": Names | None,
        "env": dict[str, str] | None, "env_allowlist": list[str] | Names, "timeout": float | None,
        "max_output_bytes": int, "workspace_root": str | None, "return": CommandResult}),
    (write_workspace_file, {"sandbox": CodeInterpreterSandbox, "request": WorkspaceFileWriteRequest,
                            "workspace_root": str | None, "return": WorkspaceFileWriteResult}),
    (operations._primitive_response, {"result": ExecutionResult, "return": dict[str, object]}),
    (operations._terminate_after_cancellation, {"sandbox": CodeInterpreterSandbox, "return": type(None)}),
    (client._validate_cwd_components, {"cwd_components": Names | None, "return": Names}),
    (client.build_command_payload, {
        "argv": list[str], "cwd_components": Names | None, "env": dict[str, str] | None, "env_allowlist": list[str],
        "max_output_bytes": int, "timeout": float | None, "workspace_root": str | None, "return": JsonObject}),
    (client.build_file_write_payload, {"relative_path": str, "data": bytes, "max_bytes": int, "overwrite": bool,
                                       "workspace_root": str | None, "return": JsonObject}),
    (client.runner_bootstrap, {"request": JsonObject, "return": str}),
    (client._execution_error, {"message": str, "return": str}),
    (client._decode_bounded_text, {"encoded": str, "return": str}),
    (client.parse_command_response, {"argv": Names, "response": JsonObject, "return": CommandResult}),
    (client.parse_write_response, {"path": str, "response": JsonObject, "return": WorkspaceFileWriteResult}),
], ids=lambda value: getattr(value, "__name__", ""))
def test_annotations(function, hints):
    assert typing.get_type_hints(function) == hints


# --- the road of a call -------------------------------------------------------------------


async def test_command_sends_the_bootstrap_with_no_time_limit():
    sandbox = ScriptedSandbox(answer(SUCCESS_REPLY))
    argv = ["echo", "hi"]
    result = await run_workspace_command(sandbox, argv, cwd_components=("a",), env={"K": "v"},
                                         env_allowlist=("PATH",), timeout=5, max_output_bytes=9, workspace_root="/w")
    assert isinstance(result, CommandResult)
    assert (result.status, result.stdout, result.argv) == (ExecutionStatus.SUCCESS, "hi", ("echo", "hi"))
    [(args, kwargs)] = sandbox.calls
    assert kwargs == {"timeout": 0} and type(kwargs["timeout"]) is int and len(args) == 1
    request = operations.build_command_payload(["echo", "hi"], cwd_components=("a",), env={"K": "v"},
                                               env_allowlist=["PATH"], max_output_bytes=9, timeout=5,
                                               workspace_root="/w")
    assert args[0] == operations.runner_bootstrap(request)


@pytest.mark.parametrize("argv", [("a", "b"), (x for x in ["a", "b"]), ["a", "b"]], ids=["tuple", "generator", "list"])
async def test_argv_any_iterable_copied(argv, monkeypatch):
    sent = []
    real = operations.build_command_payload
    monkeypatch.setattr(operations, "build_command_payload", lambda *a, **k: sent.append((a, k)) or real(*a, **k))
    caller_list = argv if isinstance(argv, list) else None
    result = await run_workspace_command(ScriptedSandbox(answer(SUCCESS_REPLY)), argv, env_allowlist=("X",))
    [(positional, keywords)] = sent
    assert positional == (["a", "b"],) and type(positional[0]) is list and positional[0] is not caller_list
    assert list(keywords) == ["cwd_components", "env", "env_allowlist", "max_output_bytes", "timeout",
                              "workspace_root"]
    assert keywords["env_allowlist"] == ["X"] and type(keywords["env_allowlist"]) is list
    assert result.argv == ("a", "b")
    if caller_list is not None:
        assert caller_list == ["a", "b"]


async def test_write_sends_the_request_fields(monkeypatch):
    sandbox = ScriptedSandbox(answer(WRITE_REPLY))
    seen = []
    real = operations.build_file_write_payload
    monkeypatch.setattr(operations, "build_file_write_payload", lambda *a, **k: seen.append((a, k)) or real(*a, **k))
    result = await write_workspace_file(sandbox, write_request(overwrite=True), workspace_root="/w")
    assert seen == [(("dir/x", b"hi"), {"max_bytes": 16, "overwrite": True, "workspace_root": "/w"})]
    assert result.model_dump() == {"bytes_written": 2, "duration_ms": 1, "overwritten": False, "path": "dir/x"}
    assert sandbox.calls[0][1] == {"timeout": 0}


async def test_a_timed_out_command_is_a_result():
    reply = {"ok": False, "status": "timeout", "timed_out": True, "error": "command exceeded timeout of 2.0 seconds"}
    result = await run_workspace_command(ScriptedSandbox(answer(reply)), ["sleep", "9"])
    assert result.status is ExecutionStatus.TIMEOUT and result.timed_out and result.exit_code is None


# --- errors ---------------------------------------------------------------------------------


@pytest.mark.parametrize("call", ["command", "write"])
async def test_client_refusals_reach_the_caller_unwrapped_before_any_execution(call):
    sandbox = ScriptedSandbox(answer(SUCCESS_REPLY))
    with pytest.raises(ValueError) as caught:
        if call == "command":
            await run_workspace_command(sandbox, ["x"], max_output_bytes=1048577)
        else:
            await write_workspace_file(sandbox, write_request(data=b"x" * 17))
    assert not str(caught.value).startswith("sandbox") and caught.value.__cause__ is None
    assert sandbox.calls == []


async def test_build_errors_propagate_unchanged(monkeypatch):
    sandbox = ScriptedSandbox(answer(SUCCESS_REPLY))
    with pytest.raises(TypeError):
        await run_workspace_command(sandbox, ["x"], env={"K": object()})
    monkeypatch.setattr(operations, "runner_bootstrap", lambda request: (_ for _ in ()).throw(OSError("gone")))
    with pytest.raises(OSError, match="^gone$"):
        await write_workspace_file(sandbox, write_request())
    assert sandbox.calls == []


class Refused(ValueError):
    pass


@pytest.mark.parametrize("raised, message, wrapped", [
    (SandboxNotInitializedError(), "Sandbox is not initialized", True),
    (SandboxExecutionError("kernel died", stage=Stage.EXECUTION), "kernel died", True),
    (RuntimeError(""), "", True),
    (ConnectionError("reset"), "reset", True),
    (Refused("bad request"), "bad request", False),
    (ValueError("plain"), "plain", False),
])
@pytest.mark.parametrize("call", ["command", "write"])
async def test_backend_errors(call, raised, message, wrapped):
    sandbox = ScriptedSandbox(raised)
    with pytest.raises(ValueError) as caught:
        if call == "command":
            await run_workspace_command(sandbox, ["x"])
        else:
            await write_workspace_file(sandbox, write_request())
    if wrapped:
        prefix = COMMAND_PREFIX if call == "command" else WRITE_PREFIX
        assert type(caught.value) is ValueError and str(caught.value) == prefix + message
        assert caught.value.__cause__ is raised
    else:
        assert caught.value is raised


class Interruption(BaseException):
    """Neither an error nor a cancellation, like an interrupt (which would stop the test loop itself)."""


@pytest.mark.parametrize("raised", [Interruption("stop"), GeneratorExit()])
async def test_interruptions_pass_through(raised):
    with pytest.raises(type(raised)) as caught:
        await run_workspace_command(ScriptedSandbox(raised), ["x"])
    assert caught.value is raised


@pytest.mark.parametrize("stdout, status, error, message", [
    ("", ExecutionStatus.SUCCESS, "", "expected exactly one JSON primitive response from sandbox output"),
    ("{\n", ExecutionStatus.SUCCESS, "", "malformed JSON primitive response from sandbox"),
    ("{}", ExecutionStatus.ERROR, "", "sandbox did not execute the primitive"),
    ("{}", ExecutionStatus.SUCCESS, "NameError: boom", "NameError: boom"),
])
async def test_unusable_output(stdout, status, error, message):
    outcome = ExecutionResult(status=status, stdout=stdout, error=error)
    with pytest.raises(ValueError) as caught:
        await run_workspace_command(ScriptedSandbox(outcome), ["x"])
    assert str(caught.value) == message and type(caught.value) is ValueError


@pytest.mark.parametrize("reply, error, message", [
    ({"status": "success", "stdout_b64": "*"}, ValueError, "Only base64 data is allowed"),
    ({"status": "success", "stdout_byte_count": None}, ValueError,
     COMMAND_PREFIX + "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"),
])
async def test_parse_failures(reply, error, message):
    with pytest.raises(error) as caught:
        await run_workspace_command(ScriptedSandbox(answer(reply)), ["x"])
    assert str(caught.value) == message


async def test_failed_write_reply_raises_the_runner_text_without_prefix():
    reply = {"ok": False, "status": "error", "error": "ValueError: path escapes\nthe workspace"}
    with pytest.raises(ValueError) as caught:
        await write_workspace_file(ScriptedSandbox(answer(reply)), write_request())
    assert str(caught.value) == "ValueError: path escapes the workspace"


async def test_write_reply_without_required_key_is_wrapped():
    with pytest.raises(ValueError) as caught:
        await write_workspace_file(ScriptedSandbox(answer({"ok": True, "overwritten": False})), write_request())
    assert str(caught.value) == WRITE_PREFIX + "'bytes_written'" and isinstance(caught.value.__cause__, KeyError)


async def test_execute_code_looked_up_through_the_instance():
    sandbox = ScriptedSandbox(None)

    async def replaced(code, timeout=None):
        return answer(SUCCESS_REPLY)

    sandbox.execute_code = replaced
    assert (await run_workspace_command(sandbox, ["x"])).stdout == "hi"


@pytest.mark.parametrize("call, parser", [("command", "parse_command_response"), ("write", "parse_write_response")])
async def test_parser_looked_up_once_the_reply_is_in(call, parser, monkeypatch):
    class Patching(ScriptedSandbox):
        async def execute_code(self, *args, **kwargs):
            monkeypatch.setattr(operations, parser, lambda subject, response: ("parsed", subject, response))
            return answer(SUCCESS_REPLY)

    if call == "command":
        outcome = await run_workspace_command(Patching(), ["x"])
    else:
        outcome = await write_workspace_file(Patching(), write_request())
    assert outcome == ("parsed", ("x",) if call == "command" else "dir/x", SUCCESS_REPLY)


# --- cancellation -------------------------------------------------------------------------


async def start(sandbox, call):
    """Runs the primitive in a task that records the cancellation reaching its caller."""
    outcome = {}

    async def caller():
        try:
            if call == "command":
                await run_workspace_command(sandbox, ["sleep", "100"])
            else:
                await write_workspace_file(sandbox, write_request())
        except asyncio.CancelledError as cancelled:
            outcome["cancelled"] = cancelled
            raise

    task = asyncio.create_task(caller())
    await sandbox.started.wait()
    return task, outcome


@pytest.mark.parametrize("call", ["command", "write"])
@pytest.mark.parametrize("terminate_outcome", [None, SandboxTerminateError("kill failed", stage=Stage.TERMINATE),
                                               RuntimeError("other")])
async def test_cancellation_terminates_once_and_reraises_the_same_cancellation(call, terminate_outcome):
    sandbox = ScriptedSandbox("block", terminate_outcome=terminate_outcome)
    task, outcome = await start(sandbox, call)
    task.cancel("caller gave up")
    with pytest.raises(asyncio.CancelledError):
        await task
    assert sandbox.terminate_calls == [((), {})]
    assert outcome["cancelled"] is sandbox.seen_cancellation
    assert outcome["cancelled"].args == ("caller gave up",)


async def test_termination_survives_a_second_cancellation():
    sandbox = ScriptedSandbox("block", terminate_delay=0.2)
    task, outcome = await start(sandbox, "command")
    task.cancel()
    await asyncio.sleep(0.05)
    assert sandbox.terminate_calls and not sandbox.terminate_finished
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert sandbox.terminate_finished and not sandbox.terminate_cancelled
    assert len(sandbox.terminate_calls) == 1
    assert outcome["cancelled"] is sandbox.seen_cancellation


async def test_a_third_cancellation_stops_the_termination():
    sandbox = ScriptedSandbox("block", terminate_delay=5)
    task, outcome = await start(sandbox, "write")
    for _ in range(3):
        task.cancel()
        await asyncio.sleep(0.02)
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(task, 2)
    assert sandbox.terminate_cancelled and not sandbox.terminate_finished
    assert len(sandbox.terminate_calls) == 1
    assert outcome["cancelled"] is sandbox.seen_cancellation


async def test_termination_runs_as_its_own_task():
    sandbox = ScriptedSandbox("block")
    tasks = []

    async def terminate(*args, **kwargs):
        tasks.append(asyncio.current_task())

    sandbox.terminate = terminate
    task, _ = await start(sandbox, "command")
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert len(tasks) == 1 and tasks[0] is not task


async def test_unusable_terminate_replaces_the_cancellation():
    sandbox = ScriptedSandbox("block")
    sandbox.terminate = None
    task, _ = await start(sandbox, "command")
    task.cancel()
    with pytest.raises(TypeError):
        await task


async def test_a_cancellation_after_the_execution_terminates_too(monkeypatch):
    # The whole guarded stretch is handled alike, not only the wait for the execution.
    cancelled = asyncio.CancelledError("from the parser")

    def parser(subject, response):
        raise cancelled

    monkeypatch.setattr(operations, "parse_command_response", parser)
    sandbox = ScriptedSandbox(answer(SUCCESS_REPLY))
    with pytest.raises(asyncio.CancelledError) as caught:
        await run_workspace_command(sandbox, ["x"])
    assert caught.value is cancelled and sandbox.terminate_calls == [((), {})] and sandbox.terminate_finished
