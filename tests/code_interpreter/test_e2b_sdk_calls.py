"""E2BSandbox's exact calls into the E2B SDK, seen through recording fakes.

Only what the local service cannot show lives here: the keywords of each SDK
call, and exception types that no service answer produces. Everything else runs
against the local service in test_e2b.py.
"""

import asyncio
import inspect
import logging
import subprocess
import sys
import types
import typing
from collections.abc import Callable

import httpx
import pytest
from e2b.exceptions import RateLimitException, TimeoutException
from e2b_code_interpreter import AsyncSandbox

import vorn_sandbox.code_interpreter.e2b as e2b_module
from vorn_sandbox.code_interpreter.e2b import E2BSandbox
from vorn_sandbox.errors import SandboxStartError
from vorn_sandbox.models import ExecutionResult, ExecutionStatus, SandboxFile

LOGGER = "vorn_sandbox.code_interpreter.e2b"


@pytest.fixture(autouse=True)
def _logs(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


class Msg:
    def __init__(self, line):
        self.line = line


class Execution:
    def __init__(self, stdout=(), stderr=(), error=None):
        self.logs = types.SimpleNamespace(stdout=list(stdout), stderr=list(stderr))
        self.error = error


class Files:
    def __init__(self, fail_on=()):
        self.fail_on = set(fail_on)
        self.writes = []
        self.reads = []

    async def write(self, *args, **kwargs):
        assert not kwargs
        if args[0] in self.fail_on:
            raise OSError(f"disk full at {args[0]}")
        self.writes.append(args)

    async def read(self, *args, **kwargs):
        self.reads.append((args, kwargs))
        return bytearray(b"from-fs")


class Commands:
    def __init__(self, answer=None):
        self.answer = answer
        self.calls = []

    async def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class Handle:
    """One SDK sandbox handle; `run_code` feeds the forwarders, then answers."""

    def __init__(self, answer=None, lines=(), sandbox_id="sbx-1"):
        self.sandbox_id = sandbox_id
        self.files = Files()
        self.commands = Commands()
        self.answer = answer if answer is not None else Execution()
        self.lines = lines
        self.run_calls = []

    async def run_code(self, *args, **kwargs):
        self.run_calls.append((args, kwargs))
        for line in self.lines:
            if "on_stdout" in kwargs:
                kwargs["on_stdout"](Msg(line))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    async def kill(self):
        return True


def live(handle):
    sandbox = E2BSandbox()
    sandbox.sandbox, sandbox.files, sandbox.commands = handle, handle.files, handle.commands
    return sandbox


# --- surface -----------------------------------------------------------------


def test_fresh_instance_and_signatures():
    sandbox = E2BSandbox()
    assert (sandbox.language, sandbox.additional_packages) == ("python", [])
    assert (sandbox.sandbox, sandbox.files, sandbox.commands, sandbox.sandbox_id) == (None, None, None, None)
    assert live(types.SimpleNamespace(files=1, commands=1)).sandbox_id is None
    assert list(inspect.signature(E2BSandbox.execute_code).parameters)[:8] == [
        "self", "code", "timeout", "files", "upload_dir", "env", "on_stdout", "on_stderr"]
    assert inspect.signature(E2BSandbox.terminate).parameters["timeout"].default == 10
    assert inspect.signature(E2BSandbox.download_file).parameters["timeout"].default == 30
    assert inspect.iscoroutinefunction(E2BSandbox.create)
    assert list(inspect.signature(E2BSandbox.create).parameters) == [
        "api_key", "domain", "template", "language", "additional_packages", "sandbox_timeout",
        "create_retries", "create_backoff", "ensure_default_template", "kwargs"]


def test_construction_survives_the_class_global_being_rebound_to_a_subclass():
    # Callers and tests replace module globals; the constructor's super() must
    # still mean the defining class. Run apart: the fault overflowed the stack.
    code = (
        "import vorn_sandbox.code_interpreter.e2b as m\n"
        "class Spy(m.E2BSandbox):\n"
        "    pass\n"
        "m.E2BSandbox = Spy\n"
        "s = Spy(language='r', additional_packages=['x'])\n"
        "print(type(s).__name__, s.language, s.additional_packages, s.sandbox)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout) == (0, "Spy r ['x'] None\n")


async def test_positional_keyword_only_arguments_are_refused():
    sandbox = live(Handle())
    with pytest.raises(TypeError):
        await sandbox.execute_command("ls", {"A": "1"})
    with pytest.raises(TypeError):
        await sandbox.terminate(5)
    with pytest.raises(TypeError):
        await sandbox.download_file("/x", 5)


# --- annotations -----------------------------------------------------------------

OptStr = str | None
Packages = list[str] | None
Line = Callable[[str], None] | None


@pytest.mark.parametrize(
    "function, hints",
    [
        (E2BSandbox.__init__, {"language": str, "additional_packages": Packages, "return": type(None)}),
        (E2BSandbox._is_transient_create_error, {"exc": BaseException, "return": bool}),
        (E2BSandbox.create, {"api_key": str, "domain": OptStr, "template": OptStr, "language": str,
                             "additional_packages": Packages, "sandbox_timeout": int | None, "create_retries": int,
                             "create_backoff": float, "ensure_default_template": bool, "kwargs": typing.Any,
                             "return": typing.Self}),
        (E2BSandbox._create_once, {"api_key": str, "domain": OptStr, "template": OptStr, "language": str,
                                   "additional_packages": Packages, "session_timeout": int, "kwargs": typing.Any,
                                   "return": typing.Self}),
        (E2BSandbox._rollback, {"sandbox": AsyncSandbox, "return": type(None)}),
        (E2BSandbox.execute_code, {"code": str, "timeout": int | None, "files": list[SandboxFile] | None,
                                   "upload_dir": OptStr, "env": dict[str, str] | None, "on_stdout": Line,
                                   "on_stderr": Line, "kwargs": typing.Any, "return": ExecutionResult}),
        (E2BSandbox._format_execution_error, {"error": typing.Any, "return": str}),
        (E2BSandbox.execute_command, {"cmd": str, "env": dict[str, str] | None, "timeout": float | None,
                                      "return": ExecutionResult}),
        (E2BSandbox.set_timeout, {"seconds": int, "return": type(None)}),
        (E2BSandbox.sandbox_id.fget, {"return": OptStr}),
        (E2BSandbox.reset_transport_singleton, {"return": type(None)}),
        (E2BSandbox.reset_transport, {"return": type(None)}),
        (E2BSandbox.terminate, {"timeout": float, "return": type(None)}),
        (E2BSandbox.download_file, {"file_path": str, "timeout": float, "return": bytes | None}),
        (E2BSandbox._read_file, {"file_path": str, "effective_timeout": float | None, "return": bytes | None}),
        (E2BSandbox._read_via_filesystem, {"file_path": str, "request_timeout": float, "return": bytes}),
        (E2BSandbox._download_via_url, {"file_path": str, "effective_timeout": float | None, "return": bytes | None}),
        (E2BSandbox._upload_files, {"files": list[SandboxFile], "upload_dir": OptStr, "return": type(None)}),
    ],
    ids=lambda value: getattr(value, "__qualname__", ""),
)
def test_annotations(function, hints):
    assert typing.get_type_hints(function) == hints


# --- execute_code --------------------------------------------------------------


@pytest.mark.parametrize(
    "call, expected",
    [
        ({}, {"language": "python", "timeout": 30}),
        ({"timeout": 0}, {"language": "python", "timeout": 0}),
        ({"timeout": -3}, {"language": "python", "timeout": 0}),
        ({"timeout": 2.5, "env": {}}, {"language": "python", "timeout": 2.5, "envs": {}}),
        ({"env": {"A": "1"}, "unknown": 1, "request_timeout": 9}, {"language": "python", "timeout": 30, "envs": {"A": "1"}}),
    ],
)
async def test_run_code_keywords(call, expected):
    handle = Handle()
    result = await live(handle).execute_code("1+1", **call)
    assert result.status is ExecutionStatus.SUCCESS
    assert handle.run_calls == [(("1+1",), expected)]


async def test_fifth_positional_argument_is_the_environment_and_callbacks_are_optional():
    handle = Handle()
    await live(handle).execute_code("x", 5, None, None, {"K": "v"}, on_stderr=print)
    (args, kwargs), = handle.run_calls
    assert kwargs["envs"] == {"K": "v"} and kwargs["timeout"] == 5
    assert "on_stderr" in kwargs and "on_stdout" not in kwargs


async def test_forwarders_strip_trailing_newlines_only():
    seen = []
    handle = Handle(lines=["a\n", "a\n\n", "a\r\n", "", None])
    await live(handle).execute_code("x", on_stdout=seen.append)
    assert seen == ["a", "a", "a\r", "", ""]


@pytest.mark.parametrize(
    "error, text",
    [
        (None, ""),
        (types.SimpleNamespace(name="ZeroDivisionError", value="division by zero", traceback=None),
         "ZeroDivisionError: division by zero"),
        (types.SimpleNamespace(name="E", value="v", traceback="  Traceback...\n  line 1"), "Traceback...\n  line 1\nE: v"),
        (types.SimpleNamespace(name="", value="", traceback=" tb only \n"), "tb only"),
        (types.SimpleNamespace(name="ZeroDivisionError"), "ZeroDivisionError"),
        (types.SimpleNamespace(value=": only value :"), "only value"),
    ],
)
def test_format_execution_error(error, text):
    assert E2BSandbox._format_execution_error(error) == text


def test_format_execution_error_falls_back_to_the_object_text():
    class Opaque:
        def __str__(self):
            return "opaque failure"

    assert E2BSandbox._format_execution_error(Opaque()) == "opaque failure"


@pytest.mark.parametrize(
    "answer, status, error, printed",
    [
        # An item without its line end gets one before the next item; the last stays as it came.
        (Execution(stdout=["a\n", "b", "c\n"], stderr=["w"]), ExecutionStatus.SUCCESS, "", ("a\nb\nc\n", "w")),
        (Execution(stdout=["a\n"], error=types.SimpleNamespace(name="NameError", value="x", traceback="")),
         ExecutionStatus.ERROR, "NameError: x", ("a\n", "")),
        (TimeoutException(""), ExecutionStatus.TIMEOUT, "", ("", "")),
        (ConnectionError("reset by peer"), ExecutionStatus.ERROR, "reset by peer", ("", "")),
        (TimeoutError("builtin"), ExecutionStatus.ERROR, "builtin", ("", "")),
    ],
)
async def test_run_outcomes_are_results(answer, status, error, printed):
    result = await live(Handle(answer=answer, lines=["early\n"])).execute_code("code", on_stdout=lambda line: None)
    assert result.status is status and result.error == error and result.code == "code"
    assert result.exit_code == (0 if status is ExecutionStatus.SUCCESS else 1)
    assert (result.stdout, result.stderr) == printed
    if isinstance(answer, BaseException):
        assert result.text == error
    assert isinstance(result.duration_ms, int) and result.duration_ms >= 0



@pytest.mark.parametrize("missing", ["sandbox", "files", "commands"])
async def test_execute_code_needs_all_three_handles(missing):
    handle = Handle()
    sandbox = live(handle)
    setattr(sandbox, missing, None)
    with pytest.raises(Exception) as caught:
        await sandbox.execute_code("x", files=[SandboxFile(filename="a", data=b"")])
    assert type(caught.value).__name__ == "SandboxNotInitializedError"
    assert handle.files.writes == [] and handle.run_calls == []


# --- execute_command -----------------------------------------------------------


@pytest.mark.parametrize(
    "call, expected",
    [
        ({}, {"timeout": 30}),
        ({"timeout": 0}, {"timeout": 0}),
        ({"timeout": -5}, {"timeout": 0}),
        ({"timeout": 2.5, "env": {}}, {"timeout": 2.5, "envs": {}}),
        ({"env": {"A": "b"}}, {"timeout": 30, "envs": {"A": "b"}}),
    ],
)
async def test_commands_run_keywords(call, expected):
    handle = Handle()
    handle.commands.answer = types.SimpleNamespace(exit_code=0, stdout="out", stderr="")
    result = await live(handle).execute_command("echo out", **call)
    assert handle.commands.calls == [(("echo out",), expected)]
    assert (result.status, result.stdout, result.code) == (ExecutionStatus.SUCCESS, "out", "echo out")


@pytest.mark.parametrize(
    "exit_code, stdout, stderr, status, error",
    [
        (0, "o", "warn", ExecutionStatus.SUCCESS, ""),
        (127, "", "not found", ExecutionStatus.ERROR, "not found"),
        # A non-zero exit without standard error keeps its output and has an empty error text.
        (3, "partial", None, ExecutionStatus.ERROR, ""),
        (3, "partial", "", ExecutionStatus.ERROR, ""),
        (None, None, None, ExecutionStatus.ERROR, ""),
    ],
)
async def test_returned_command_results(exit_code, stdout, stderr, status, error):
    handle = Handle()
    handle.commands.answer = types.SimpleNamespace(exit_code=exit_code, stdout=stdout, stderr=stderr)
    result = await live(handle).execute_command("cmd")
    assert (result.status, result.error) == (status, error)
    assert (result.stdout, result.stderr) == (stdout or "", stderr or "")
    assert result.text == (error or stdout or "")
    assert result.exit_code == (0 if status is ExecutionStatus.SUCCESS else 1)


@pytest.mark.parametrize(
    "raised, status", [(TimeoutException("took too long"), ExecutionStatus.TIMEOUT),
                       (ConnectionError("took too long"), ExecutionStatus.ERROR)]
)
async def test_raised_command_failures(raised, status):
    handle = Handle()
    handle.commands.answer = raised
    result = await live(handle).execute_command("cmd")
    assert (result.status, result.error, result.stdout, result.stderr) == (status, "took too long", "", "")


async def test_execute_command_runs_without_files_handle_but_not_without_commands():
    handle = Handle()
    handle.commands.answer = types.SimpleNamespace(exit_code=0, stdout="", stderr="")
    sandbox = live(handle)
    sandbox.files = None
    assert (await sandbox.execute_command("true")).status is ExecutionStatus.SUCCESS
    sandbox.commands = None
    with pytest.raises(Exception, match="Sandbox is not initialized"):
        await sandbox.execute_command("true")


# --- creation ------------------------------------------------------------------


class FakeAsyncSandbox:
    """Stands for e2b_code_interpreter.AsyncSandbox: `create` answers from a script."""

    script: list = []
    calls: list = []
    handles: list = []

    @classmethod
    async def create(cls, *args, **kwargs):
        assert not args
        cls.calls.append(kwargs)
        step = cls.script.pop(0) if cls.script else None
        if step == "hang":
            await asyncio.sleep(60)
        if isinstance(step, BaseException):
            raise step
        handle = Handle(sandbox_id=f"sbx-{len(cls.calls)}")
        cls.handles.append(handle)
        return handle


@pytest.fixture
def fake_sdk(monkeypatch):
    FakeAsyncSandbox.script, FakeAsyncSandbox.calls, FakeAsyncSandbox.handles = [], [], []
    monkeypatch.setattr(e2b_module, "AsyncSandbox", FakeAsyncSandbox)
    return FakeAsyncSandbox


async def test_create_passes_exactly_the_documented_keywords(fake_sdk):
    sys.modules.pop("vorn_sandbox.template.e2b", None)
    sandbox = await E2BSandbox.create("key")
    assert fake_sdk.calls == [{"api_key": "key", "domain": None, "template": None, "timeout": 600}]
    assert sandbox.sandbox is fake_sdk.handles[0] and sandbox.files is fake_sdk.handles[0].files
    assert "vorn_sandbox.template.e2b" not in sys.modules
    assert fake_sdk.handles[0].run_calls == []


@pytest.mark.parametrize(
    "call, timeout, extra",
    [
        ({"timeout": 120}, 120, {}),
        ({"sandbox_timeout": 300, "timeout": 120}, 300, {}),
        # A given template, even empty, skips the default-template ensure.
        ({"metadata": {"a": "b"}, "template": "", "ensure_default_template": True}, 600, {"metadata": {"a": "b"}}),
    ],
)
async def test_create_lifetime_and_extra_keywords(fake_sdk, call, timeout, extra):
    await E2BSandbox.create("key", **call)
    (sent,) = fake_sdk.calls
    assert sent["timeout"] == timeout
    assert sent["template"] == call.get("template")
    assert {k: v for k, v in sent.items() if k not in ("api_key", "domain", "template", "timeout")} == extra


@pytest.mark.parametrize(
    "call, error, message",
    [
        ({"session_timeout": 5}, TypeError, "multiple values for keyword argument 'session_timeout'"),
        ({"sandbox_timeout": 0}, ValueError, "sandbox timeout must be a positive number of seconds, got 0"),
        ({"create_retries": 0}, ValueError, "`attempts` must be at least 1"),
        ({"create_backoff": -1}, ValueError, "`backoff` must be non-negative"),
    ],
)
async def test_bad_creation_arguments_fail_before_the_sdk(fake_sdk, call, error, message):
    with pytest.raises(error, match=message):
        await E2BSandbox.create("key", **call)
    assert fake_sdk.calls == []


@pytest.mark.parametrize(
    "failure, transient",
    [
        (TimeoutException("cold"), True),
        (RateLimitException("busy"), True),
        (httpx.ConnectError("refused"), True),
        (httpx.ReadTimeout("slow"), True),
        (ConnectionError("builtin"), False),
        (TimeoutError("builtin"), False),
    ],
)
async def test_which_creation_failures_are_retried(fake_sdk, failure, transient):
    fake_sdk.script = [failure]
    if transient:
        sandbox = await E2BSandbox.create("key", create_backoff=0)
        assert len(fake_sdk.calls) == 2 and sandbox.sandbox_id == "sbx-2"
    else:
        with pytest.raises(SandboxStartError) as caught:
            await E2BSandbox.create("key", create_backoff=0)
        assert len(fake_sdk.calls) == 1
        assert caught.value.__cause__ is failure and caught.value.transient is False
        assert str(caught.value) == f"Failed to start E2B sandbox: {failure}"






async def test_create_on_a_subclass_uses_its_hooks(fake_sdk):
    class Mine(E2BSandbox):
        @classmethod
        def _is_transient_create_error(cls, exc):
            return isinstance(exc, ConnectionError)

    fake_sdk.script = [ConnectionError("flaky")]
    sandbox = await Mine.create("key", create_backoff=0)
    assert type(sandbox) is Mine and len(fake_sdk.calls) == 2


# --- lease, transport, teardown ------------------------------------------------


@pytest.mark.parametrize("kind", ["coroutine", "plain", "raises"])
async def test_set_timeout_variants(caplog, kind):
    seen = []

    async def renew_async(seconds):
        seen.append(seconds)

    def renew_plain(seconds):
        seen.append(seconds)
        return "ignored"

    def renew_raises(seconds):
        raise RuntimeError("lease refused")

    handle = Handle()
    handle.set_timeout = {"coroutine": renew_async, "plain": renew_plain, "raises": renew_raises}[kind]
    assert await live(handle).set_timeout(300) is None
    if kind == "raises":
        assert warnings_of(caplog) == ["Failed to set sandbox timeout to 300s: lease refused"]
    else:
        assert seen == [300] and warnings_of(caplog) == []


async def test_set_timeout_without_a_sandbox_or_method_is_silent(caplog):
    assert await E2BSandbox().set_timeout(5) is None
    assert await live(Handle()).set_timeout(5) is None
    assert warnings_of(caplog) == []


def test_transport_reset_clears_the_singleton_where_the_sdk_has_one(monkeypatch, caplog):
    import e2b.api.client_async as client_async

    # The installed SDK keeps no such singleton: the reset is a silent no-op.
    assert not hasattr(client_async, "AsyncTransportWithLogger")
    assert E2BSandbox.reset_transport_singleton() is None

    class Transport:
        singleton = object()

    monkeypatch.setattr(client_async, "AsyncTransportWithLogger", Transport, raising=False)
    live(Handle()).reset_transport()
    assert Transport.singleton is None
    assert warnings_of(caplog) == []





# --- download ------------------------------------------------------------------


async def test_download_url_may_be_a_coroutine(monkeypatch):
    class Transport(httpx.AsyncBaseTransport):
        async def handle_async_request(self, request):
            assert str(request.url) == "http://files.invalid/x"
            return httpx.Response(200, content=b"")

    real_client = httpx.AsyncClient
    monkeypatch.setattr(httpx, "AsyncClient", lambda **kw: real_client(transport=Transport(), **kw))
    handle = Handle()

    async def download_url(path):
        return "http://files.invalid" + path

    handle.download_url = download_url
    assert await live(handle).download_file("/x") == b""
    assert handle.files.reads == []


async def test_download_falls_back_to_the_filesystem_without_a_url_method():
    handle = Handle()
    assert await live(handle).download_file("/x", timeout=0) == b"from-fs"
    assert handle.files.reads == [(("/x",), {"format": "bytes", "request_timeout": 0})]


# --- text that Python carries but UTF-8 cannot ---------------------------------

# A lone surrogate (from JSON escapes, or a path decoded with surrogateescape)
# is a valid Python str; every text passes through as it came.
LONE = "caf\udcff"


async def test_code_output_and_errors_keep_lone_surrogates():
    error = types.SimpleNamespace(name="E", value=LONE, traceback="")
    handle = Handle(answer=Execution(stdout=[LONE, "b"], stderr=[LONE], error=error), lines=[LONE + "\n"])
    seen = []
    result = await live(handle).execute_code(LONE, on_stdout=seen.append)
    assert (result.stdout, result.stderr, result.error, result.code) == (f"{LONE}\nb", LONE, f"E: {LONE}", LONE)
    assert seen == [LONE]
    assert E2BSandbox._format_execution_error(error) == f"E: {LONE}"


@pytest.mark.parametrize("exit_code, status", [(0, ExecutionStatus.SUCCESS), (4, ExecutionStatus.ERROR)])
async def test_command_output_keeps_lone_surrogates(exit_code, status):
    handle = Handle()
    handle.commands.answer = types.SimpleNamespace(exit_code=exit_code, stdout=LONE, stderr=LONE + "!")
    result = await live(handle).execute_command(LONE)
    assert (result.status, result.stdout, result.stderr, result.code) == (status, LONE, LONE + "!", LONE)
    assert result.error == ("" if exit_code == 0 else LONE + "!")


async def test_failure_texts_with_lone_surrogates_are_results_and_warnings(caplog):
    handle = Handle(answer=ConnectionError(LONE))
    handle.files.fail_on = {"/files/" + LONE}
    result = await live(handle).execute_code("x", files=[SandboxFile(filename=LONE, data=b"1")])
    assert (result.status, result.error) == (ExecutionStatus.ERROR, LONE)
    assert warnings_of(caplog) == [f"Failed to upload file {LONE}: disk full at /files/{LONE}"]


@pytest.mark.parametrize("exit_code", [0.0, False])
async def test_command_exit_code_is_compared_as_python_compares(exit_code):
    handle = Handle()
    handle.commands.answer = types.SimpleNamespace(exit_code=exit_code, stdout="o", stderr="")
    assert (await live(handle).execute_command("c")).status is ExecutionStatus.SUCCESS


# --- attribute look-ups with a fallback answer only a missing attribute -------


class Broken:
    """A handle whose attribute raises something other than AttributeError."""

    def __init__(self, error):
        self.error, self.files, self.commands = error, Files(), Commands()

    def __getattr__(self, name):
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("property failed"), KeyboardInterrupt()])
async def test_lookups_with_a_fallback_let_other_failures_through(error):
    broken = Broken(error)
    with pytest.raises(type(error)):
        live(broken).sandbox_id
    with pytest.raises(type(error)):
        await live(broken).set_timeout(5)
    with pytest.raises(type(error)):
        E2BSandbox._format_execution_error(broken)
