"""The OpenSandbox backend over the real SDKs and the local OpenSandbox server."""

from __future__ import annotations

import asyncio
import gc
import inspect
import logging
import subprocess
import sys
import time
import warnings
from datetime import timedelta

import pytest
from opentelemetry import trace

from opensandbox.config.connection_sync import ConnectionConfigSync
from opensandbox.exceptions import SandboxApiException, SandboxReadyTimeoutException
from opensandbox.sync.manager import SandboxManagerSync
from opensandbox.sync.sandbox import SandboxSync

from _opensandbox_checks import open_client_sockets, wait_until
from vorn_sandbox.errors import (SandboxExecutionError, SandboxNotInitializedError, SandboxStartError,
                                 SandboxTerminateError, Stage)
from vorn_sandbox.models import ExecutionStatus, SandboxFile

LOGGER = "vorn_sandbox.code_interpreter.opensandbox"


@pytest.fixture(scope="module")
def osb():
    import vorn_sandbox.code_interpreter.opensandbox as module

    return module


@pytest.fixture
def spans(exporter):
    exporter.clear()
    return lambda name: [s for s in exporter.get_finished_spans() if s.name == name]


def records(caplog, level=logging.WARNING):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno >= level]


async def create(osb, server, **options):
    options.setdefault("image", "local:base")
    options.setdefault("create_backoff", 0)
    return await osb.OpenSandbox.create(domain=server.domain, protocol="http", **options)


class FakeClock:
    """The event loop's clock and asyncio.sleep, moved by the code under test only."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []

    def install(self, monkeypatch, module):
        real = asyncio
        clock = self

        class Loop:
            def __getattr__(self, name):
                return getattr(real.get_running_loop(), name)

            def time(self):
                return clock.now

        class FakeAsyncio:
            def __getattr__(self, name):
                return getattr(real, name)

            @staticmethod
            def get_running_loop():
                return Loop()

            @staticmethod
            async def sleep(delay, result=None):
                clock.sleeps.append(delay)
                clock.now += delay
                await real.sleep(0)
                return result

        monkeypatch.setattr(module, "asyncio", FakeAsyncio())


# ---------------------------------------------------------------------------
# Module and class surface


async def test_surface_and_constructor(osb):
    cls = osb.OpenSandbox
    assert osb._JUPYTER_PORT == 44771 and osb._JUPYTER_HOST.endswith(":44771")
    assert (osb._JUPYTER_POLL_INTERVAL, osb._JUPYTER_PROBE_TIMEOUT) == (2, 15)
    assert len(osb._JUPYTER_TOKEN) == 33 and osb._JUPYTER_TOKEN.isalpha()
    instance = cls(additional_packages=None)
    assert (instance.language, instance.additional_packages, instance._sandbox, instance._interpreter) == \
        ("python", [], None, None)
    create = list(inspect.signature(cls.create).parameters)
    assert create[:3] == ["api_key", "domain", "protocol"] and create[-1] == "kwargs"
    with pytest.raises(TypeError):
        await cls.execute_command(instance, "ls", {})  # env is keyword-only
    assert inspect.iscoroutinefunction(cls.terminate) and isinstance(cls.sandbox_id, property)


def test_startup_kwargs_merge_the_callers_environment(osb):
    kwargs = {"env": {"JUPYTER_TOKEN": "mine", "EXTRA": "1"}, "extensions": {"poolRef": "p"}}
    out = osb.OpenSandbox._startup_kwargs(None, kwargs)
    assert out == {"entrypoint": osb.Config.DEFAULT_CI_ENTRYPOINT,
                   "env": {"JUPYTER_HOST": osb._JUPYTER_HOST, "JUPYTER_TOKEN": "mine", "EXTRA": "1"}}
    assert kwargs == {"extensions": {"poolRef": "p"}}
    assert osb.OpenSandbox._startup_kwargs(["x"], {"env": None})["entrypoint"] == ["x"]


@pytest.mark.parametrize("env", [[("A", "1")], "ab", 5])
def test_startup_kwargs_refuse_an_environment_that_is_not_a_mapping(osb, env):
    with pytest.raises(TypeError, match="is not a mapping"):
        osb.OpenSandbox._startup_kwargs(None, {"env": env})


@pytest.mark.parametrize(
    ("breakage", "cause"),
    [
        ("sys.modules['code_interpreter'] = None", "ModuleNotFoundError"),
        # An SDK release that lacks one of the names is as unusable as no SDK.
        ("import opensandbox.exceptions as ex; del ex.PoolStateStoreUnavailableException", "ImportError"),
    ],
)
def test_import_without_an_sdk_names_the_extra(breakage, cause):
    program = (
        "import sys\n"
        f"{breakage}\n"
        "try:\n"
        "    import vorn_sandbox.code_interpreter.opensandbox\n"
        "except ImportError as e:\n"
        "    print(type(e.__cause__).__name__, e)\n"
        "print('vorn_sandbox.code_interpreter.opensandbox' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        f"{cause} opensandbox and opensandbox-code-interpreter packages are required. "
        "Install them with: pip install 'vorn-sandbox[opensandbox]'", "False"]


# ---------------------------------------------------------------------------
# The main road


async def test_create_execute_transfer_terminate(osb, opensandbox_local, spans):
    box = await create(osb, opensandbox_local, sandbox_timeout=120)
    try:
        assert opensandbox_local.live_count() == 1
        assert box.sandbox_id in opensandbox_local.live_sandbox_ids()
        lines = []
        result = await box.execute_code(
            "import pathlib\nprint(pathlib.Path('/files/tools/x.py').read_text())\nvalue = 6 * 7",
            files=[SandboxFile(filename="tools/x.py", data=b"hello")], on_stdout=lines.append)
        assert (result.status, result.stdout, result.exit_code) == (ExecutionStatus.SUCCESS, "hello", 0)
        assert lines == ["hello"]
        again = await box.execute_code("print(value)\n1/0")
        assert (again.status, again.stdout, again.error, again.text) == (
            ExecutionStatus.ERROR, "42", "ZeroDivisionError: division by zero",
            "ZeroDivisionError: division by zero")

        ok = await box.execute_command("echo $A; echo warn >&2", env={"A": "one"})
        assert (ok.status, ok.stdout, ok.stderr, ok.error) == (ExecutionStatus.SUCCESS, "one", "warn", "")
        bad = await box.execute_command("echo '  why  ' >&2; exit 2")
        assert (bad.status, bad.error, bad.stderr, bad.exit_code) == (ExecutionStatus.ERROR, "why", "  why  ", 1)
        quiet = await box.execute_command("exit 3")
        assert quiet.error == "CommandExecError: 3"  # the daemon reports the exit code as an error

        assert await box.download_file("/files/tools/x.py") == b"hello"
        assert await box.download_file("/files/absent") is None

        request = opensandbox_local.create_requests[-1]
        assert request["entrypoint"] == osb.Config.DEFAULT_CI_ENTRYPOINT
        assert request["env"]["JUPYTER_TOKEN"] == osb._JUPYTER_TOKEN and request["timeout"] == 120
    finally:
        await box.terminate()
    assert (box.sandbox_id, box._interpreter, opensandbox_local.live_count()) == (None, None, 0)
    await box.terminate()  # nothing held: returns at once
    with pytest.raises(SandboxNotInitializedError):
        await box.execute_command("true")
    commands = spans("vorn_sandbox.execute_command")
    assert {s.attributes["vorn_sandbox.backend"] for s in commands} == {"opensandbox"}
    # The last call found no sandbox: raised inside its span, no status.
    assert [s.attributes.get("vorn_sandbox.status") for s in commands] == ["success", "error", "error", None]
    [created] = spans("vorn_sandbox.sandbox.create")
    assert created.attributes["vorn_sandbox.sandbox_id"].startswith("sbx-")


async def test_timeout_interrupts_the_kernel(osb, opensandbox_local):
    box = await create(osb, opensandbox_local)
    try:
        await box.execute_code("kept = 1")
        started = time.monotonic()
        result = await box.execute_code("import time\ntime.sleep(60)", 0.5)
        assert (result.status, result.error, result.stdout) == (
            ExecutionStatus.TIMEOUT, "Execution exceeded timeout of 0.5 seconds", "")
        # Interrupted, the kernel is free at once and keeps its state.
        follow = await asyncio.wait_for(box.execute_code("kept + 1"), 10)
        assert (follow.status, follow.stdout) == (ExecutionStatus.SUCCESS, "2")
        assert time.monotonic() - started < 10
        assert opensandbox_local.faults.calls("interrupt_code") == 1
    finally:
        await box.terminate()


async def test_failed_upload_is_skipped_and_the_code_runs(osb, opensandbox_local, caplog):
    box = await create(osb, opensandbox_local)
    try:
        opensandbox_local.faults.fail("upload", nth=1)
        files = [SandboxFile(filename=n, data=n.encode()) for n in ("a", "b", "c")]
        result = await box.execute_code("import os\nprint(sorted(os.listdir('/work-in')))", files=files,
                                        upload_dir="/work-in/")
        assert result.stdout == "['b', 'c']"
        assert records(caplog) == []
    finally:
        await box.terminate()


async def test_packages_install_and_failed_install_rolls_back(osb, opensandbox_local):
    box = await create(osb, opensandbox_local, additional_packages=["pip"])
    await box.terminate()
    with pytest.raises(SandboxExecutionError) as caught:
        await create(osb, opensandbox_local, additional_packages=["/no/such/package"])
    assert caught.value.stage is Stage.PACKAGE_INSTALL and caught.value.__cause__ is None
    assert opensandbox_local.live_count() == 0


# ---------------------------------------------------------------------------
# Snapshots by name


def sync_config(server):
    return ConnectionConfigSync(domain=server.domain, protocol="http", use_server_proxy=True,
                                request_timeout=timedelta(seconds=30))


def snapshot_named(server, name: str, marker: str) -> str:
    sandbox = SandboxSync.create("local:base", connection_config=sync_config(server), skip_health_check=True)
    try:
        sandbox.commands.run(f"echo {marker} > /root/marker")
        snapshot_id = sandbox.create_snapshot(name=name).id
    finally:
        sandbox.kill()
        sandbox.close()
    manager = SandboxManagerSync.create(connection_config=sync_config(server))
    try:
        while manager.get_snapshot(snapshot_id).status.state != "Ready":
            time.sleep(0.02)
    finally:
        manager.close()
    return snapshot_id


async def test_snapshot_name_resolves_once_to_the_newest_ready(osb, opensandbox_local, monkeypatch, spans):
    await asyncio.to_thread(snapshot_named, opensandbox_local, "tpl", "old")
    newest = await asyncio.to_thread(snapshot_named, opensandbox_local, "tpl", "new")
    lookups = opensandbox_local.faults.calls("list_snapshots")
    creations = opensandbox_local.faults.calls("create_sandbox")
    # The first sandbox stays pending past its attempt's readiness wait (cut
    # short here): a transient failure, retried. The second attempt keeps the
    # default wait, which a sandbox start on a slow machine needs.
    opensandbox_local.faults.pending(30, nth=1)
    real, started = osb.Sandbox, []

    class FirstWaitShort:
        @staticmethod
        async def create(*args, **kwargs):
            started.append(kwargs["snapshot_id"])
            if len(started) == 1:
                kwargs["ready_timeout"] = timedelta(seconds=1)
            return await real.create(*args, **kwargs)

    monkeypatch.setattr(osb, "Sandbox", FirstWaitShort)
    box = await create(osb, opensandbox_local, snapshot_name="tpl")
    try:
        assert opensandbox_local.faults.calls("create_sandbox") - creations == 2 and started == [newest] * 2
        assert opensandbox_local.faults.calls("list_snapshots") - lookups == 1
        marker = await box.execute_command("cat /root/marker")
        assert marker.stdout == "new"
    finally:
        await box.terminate()
    created = spans("vorn_sandbox.sandbox.create")[-1]
    assert created.attributes["vorn_sandbox.template_id"] == "tpl"


@pytest.mark.parametrize("retries", [0, 3])
async def test_unknown_snapshot_name_fails_before_any_attempt(osb, opensandbox_local, retries):
    with pytest.raises(SandboxStartError) as caught:
        await create(osb, opensandbox_local, snapshot_name="nothing 'here'", create_retries=retries)
    assert caught.value.stage is Stage.SNAPSHOT_RESOLVE and not caught.value.transient
    assert str(caught.value) == "No Ready OpenSandbox snapshot named \"nothing 'here'\""
    assert opensandbox_local.faults.calls("create_sandbox") == 0


async def test_both_snapshot_id_and_name_is_an_error(osb, opensandbox_local):
    with pytest.raises(ValueError, match="Provide at most one of snapshot_id or snapshot_name"):
        await create(osb, opensandbox_local, snapshot_id="", snapshot_name="x", sandbox_timeout=-1)
    assert opensandbox_local.faults.calls("list_snapshots") == 0


# ---------------------------------------------------------------------------
# Failures after the sandbox exists: rolled back, the failure raised unchanged


@pytest.mark.parametrize("operation, stage", [
    ("get_sandbox", Stage.GET_INFO),
    ("run_command", Stage.EXECD_PROBE),
])
async def test_failed_step_rolls_back(osb, opensandbox_local, operation, stage):
    opensandbox_local.faults.fail(operation, message="step broke")
    with pytest.raises(SandboxStartError) as caught:
        await create(osb, opensandbox_local, create_retries=1)
    assert caught.value.stage is stage and isinstance(caught.value.__cause__, SandboxApiException)
    if stage is Stage.EXECD_PROBE:
        assert str(caught.value).startswith("Image 'local:base' does not appear to have the OpenSandbox execd")
    assert opensandbox_local.faults.calls("kill_sandbox") == 1
    assert opensandbox_local.live_count() == 0


async def test_interpreter_failure_rolls_back(osb, opensandbox_local, monkeypatch):
    class NoInterpreter:
        @staticmethod
        async def create(*, sandbox):
            raise RuntimeError("no kernel")

    monkeypatch.setattr(osb, "_OSCiInterpreter", NoInterpreter)
    with pytest.raises(SandboxStartError, match="Failed to start OpenSandbox: no kernel") as caught:
        await create(osb, opensandbox_local)
    assert caught.value.stage is Stage.INTERPRETER_INIT
    assert opensandbox_local.live_count() == 0


async def test_cancelled_creation_rolls_back(osb, opensandbox_local):
    opensandbox_local.faults.delay("run_command", 30, nth=2)  # the Jupyter probe hangs
    task = asyncio.create_task(create(osb, opensandbox_local))
    while opensandbox_local.faults.calls("run_command") < 2:
        await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert opensandbox_local.live_count() == 0


async def test_a_cancelled_creation_request_kills_what_the_server_made(osb, opensandbox_local):
    # The server makes the sandbox after the caller is cancelled, and keeps it.
    opensandbox_local.faults.abandoned_sandboxes_stay = True
    opensandbox_local.faults.delay("create_sandbox", 0.5)
    task = asyncio.create_task(create(osb, opensandbox_local))
    await wait_until(lambda: opensandbox_local.faults.calls("create_sandbox") == 1)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert opensandbox_local.faults.calls("kill_sandbox") == 1 and opensandbox_local.live_count() == 0
    assert await open_client_sockets(opensandbox_local) == 0


async def test_a_cancelled_interpreter_start_closes_its_clients(osb, opensandbox_local):
    # The interpreter's readiness check: a ping over its own clients, then a
    # command. Cancelled in the command, its clients hold the ping's connection.
    faults = opensandbox_local.faults
    faults.delay("ping", 0.3)
    task = asyncio.create_task(create(osb, opensandbox_local))
    await wait_until(lambda: faults.calls("ping") == 1)
    commands = faults.calls("run_command")
    faults.delay("run_command", 1)
    await wait_until(lambda: faults.calls("run_command") == commands + 1)
    task.cancel()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(asyncio.CancelledError):
            await task
        gc.collect()
        assert await open_client_sockets(opensandbox_local) == 0
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
    assert opensandbox_local.live_count() == 0


async def test_transient_failures_are_retried_and_the_sdk_kills_its_leftovers(osb, opensandbox_local, caplog):
    caplog.set_level(logging.INFO, logger="vorn_sandbox.utils")
    # Both sandboxes stay pending past the readiness wait, whatever the
    # machine's speed: the server answers their creation at once.
    opensandbox_local.faults.pending(30, times=2)
    with pytest.raises(SandboxStartError) as caught:
        await create(osb, opensandbox_local, ready_timeout=2, create_retries=2)
    assert caught.value.stage is Stage.CREATE and caught.value.transient
    assert isinstance(caught.value.__cause__, SandboxReadyTimeoutException)
    faults = opensandbox_local.faults
    assert (faults.calls("create_sandbox"), faults.calls("kill_sandbox"), opensandbox_local.live_count()) == (2, 2, 0)
    assert [r.getMessage().split(" after: ")[0] for r in caplog.records if r.name == "vorn_sandbox.utils"] == \
        ["Sandbox operation retry 1/2"]


def test_only_the_sdk_pool_and_readiness_errors_are_transient(osb):
    from opensandbox import exceptions as sdk

    judged = osb.OpenSandbox._is_transient_create_error
    for name in ("SandboxReadyTimeoutException", "SandboxUnhealthyException", "PoolEmptyException",
                 "PoolAcquireFailedException", "PoolStateStoreUnavailableException"):
        assert judged(getattr(sdk, name)("x")) is True
    assert judged(TimeoutError()) is False and judged(ConnectionError()) is False


async def test_exact_creation_keywords(osb, opensandbox_local, monkeypatch):
    seen = []
    real = osb.Sandbox

    class Recording:
        @staticmethod
        async def create(*args, **kwargs):
            seen.append((args, kwargs))
            return await real.create(*args, **kwargs)

    monkeypatch.setattr(osb, "Sandbox", Recording)
    box = await create(osb, opensandbox_local, timeout=90, env={"A": "1"}, extensions={"poolRef": "p"},
                       entrypoint=[])
    await box.terminate()
    [(args, kwargs)] = seen
    assert args == ("local:base",)
    assert kwargs["timeout"] == timedelta(seconds=90) and kwargs["ready_timeout"] == timedelta(seconds=60)
    assert kwargs["skip_health_check"] is True and kwargs["extensions"] == {"poolRef": "p"}
    assert kwargs["env"] == {"JUPYTER_HOST": osb._JUPYTER_HOST, "JUPYTER_TOKEN": osb._JUPYTER_TOKEN, "A": "1"}
    assert kwargs["entrypoint"] == osb.Config.DEFAULT_CI_ENTRYPOINT
    assert kwargs["connection_config"].request_timeout == timedelta(seconds=60)


async def test_pool_creation_retries_with_the_same_keywords(osb, opensandbox_local, monkeypatch):
    from opensandbox.exceptions import PoolEmptyException

    seen = []
    real = osb.Sandbox

    class EmptyOnce:
        @staticmethod
        async def create(*args, **kwargs):
            seen.append(kwargs)
            if len(seen) == 1:
                raise PoolEmptyException("the pool is empty")
            return await real.create(*args, **kwargs)

    monkeypatch.setattr(osb, "Sandbox", EmptyOnce)
    box = await create(osb, opensandbox_local, extensions=osb.Config.pool_extension("pool"), env={"A": "1"})
    await box.terminate()
    assert [(k["extensions"], k["env"]["A"]) for k in seen] == [({"poolRef": "pool"}, "1")] * 2
    assert opensandbox_local.faults.calls("create_sandbox") == 1 and opensandbox_local.live_count() == 0


# ---------------------------------------------------------------------------
# The Jupyter probe, on a controllable clock


async def test_probe_answers_at_once_or_gives_up_silently(osb, opensandbox_local, monkeypatch, caplog):
    box = await create(osb, opensandbox_local)
    try:
        clock = FakeClock()
        clock.install(monkeypatch, osb)
        before = opensandbox_local.faults.calls("run_command")
        assert await osb.OpenSandbox._probe_jupyter(box._sandbox, timeout=15) is None
        assert opensandbox_local.faults.calls("run_command") - before == 1 and clock.sleeps == []

        await box._sandbox.commands.run("pkill -f 'opensandbox_local[.]jupyter'; sleep 0.2")
        before = opensandbox_local.faults.calls("run_command")
        assert await osb.OpenSandbox._probe_jupyter(box._sandbox, timeout=15) is None
        # Runs at 0, 2, ... 14 seconds, then past the deadline: no error, no record.
        assert opensandbox_local.faults.calls("run_command") - before == 8
        assert clock.sleeps == [2] * 8 and records(caplog) == []

        before = opensandbox_local.faults.calls("run_command")
        assert await osb.OpenSandbox._probe_jupyter(box._sandbox, timeout=0) is None
        assert opensandbox_local.faults.calls("run_command") == before
    finally:
        monkeypatch.undo()
        await box.terminate()


# ---------------------------------------------------------------------------
# Teardown


async def test_terminate_keeps_the_handles_when_every_kill_fails(osb, opensandbox_local):
    box = await create(osb, opensandbox_local)
    handle = box._sandbox
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await box.terminate(timeout=0)
    opensandbox_local.faults.fail("kill_sandbox", times=3, message="kill refused")
    with pytest.raises(SandboxTerminateError) as caught:
        await box.terminate()
    assert caught.value.stage is Stage.TERMINATE and "kill refused" in str(caught.value)
    assert isinstance(caught.value.__cause__, SandboxApiException)
    assert box._sandbox is handle and box._interpreter is not None
    assert opensandbox_local.faults.calls("kill_sandbox") == 3

    async def broken_close():
        raise RuntimeError("close failed")

    handle.close = broken_close
    await box.terminate()  # kill succeeds; the close error is swallowed
    assert (box._sandbox, box._interpreter, opensandbox_local.live_count()) == (None, None, 0)


async def test_terminate_after_a_cancelled_one_whose_kill_went_through(osb, opensandbox_local):
    box = await create(osb, opensandbox_local)
    # The kill reaches the server, which finishes it after the caller has
    # given up waiting: the sandbox is gone, the object still holds it.
    opensandbox_local.faults.delay("kill_sandbox", 0.3)
    task = asyncio.create_task(box.terminate())
    await wait_until(lambda: opensandbox_local.faults.calls("kill_sandbox") == 1)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert box._sandbox is not None
    await wait_until(lambda: opensandbox_local.live_count() == 0)
    await box.terminate()  # answered "not found": gone, so terminated
    assert (box._sandbox, box._interpreter) == (None, None)
    assert opensandbox_local.faults.calls("kill_sandbox") == 2
    assert await open_client_sockets(opensandbox_local) == 0
    with pytest.raises(SandboxNotInitializedError):
        await box.execute_code("print(1)")


async def test_set_timeout_only_logs(osb, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    assert await osb.OpenSandbox().set_timeout(300) is None
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [
        "set_timeout(300) is a no-op for OpenSandbox"]


async def test_api_key_never_appears_in_errors(osb, opensandbox_local):
    opensandbox_local.faults.fail("create_sandbox", status=400, message="bad request")
    with pytest.raises(SandboxStartError) as caught:
        await create(osb, opensandbox_local, api_key="s3cret-key-value")
    assert "s3cret-key-value" not in str(caught.value) and "s3cret-key-value" not in repr(caught.value.__cause__)


# ---------------------------------------------------------------------------
# SDK records read as Python reads them (fake handles: exact values the
# server cannot produce)


def _message(text):
    from types import SimpleNamespace

    return SimpleNamespace(text=text)


def _started(osb, *, sandbox=None, interpreter=None):
    from types import SimpleNamespace

    instance = osb.OpenSandbox()
    instance._sandbox = sandbox or SimpleNamespace(id="fake")
    instance._interpreter = interpreter
    return instance


async def test_output_texts_stay_python_strings(osb):
    from types import SimpleNamespace

    lone = "half \ud800 pair\n"

    async def run_code(code, **_):
        return SimpleNamespace(text="out \udfff", logs=SimpleNamespace(stderr=[_message(lone), _message("x\r\n")]),
                               error=None)

    interpreter = SimpleNamespace(codes=SimpleNamespace(run=run_code))
    result = await _started(osb, interpreter=interpreter).execute_code("pass")
    assert (result.status, result.stdout, result.stderr) == \
        (ExecutionStatus.SUCCESS, "out \udfff", "half \ud800 pair\nx\r")

    async def run_command(cmd, **_):
        return SimpleNamespace(logs=SimpleNamespace(stdout=[_message(lone)], stderr=[_message(" \udc80 \n")]),
                               error=None, exit_code=2.0)

    box = _started(osb, sandbox=SimpleNamespace(id="fake", commands=SimpleNamespace(run=run_command)))
    result = await box.execute_command("ls")
    # Exit code 2.0 compares as Python compares it; the stripped stderr is the error.
    assert (result.status, result.stdout, result.stderr, result.error) == \
        (ExecutionStatus.ERROR, "half \ud800 pair", " \udc80 ", "\udc80")

    async def run_quiet(cmd, **_):
        return SimpleNamespace(logs=SimpleNamespace(stdout=None, stderr=None), error=None, exit_code=3.0)

    box = _started(osb, sandbox=SimpleNamespace(id="fake", commands=SimpleNamespace(run=run_quiet)))
    assert (await box.execute_command("ls")).error == "command exited with code 3.0"


async def test_probe_swallows_a_failing_command_lookup(osb, monkeypatch):
    class NoCommands:
        @property
        def commands(self):
            raise RuntimeError("transport gone")

    clock = FakeClock()
    clock.install(monkeypatch, osb)
    assert await osb.OpenSandbox._probe_jupyter(NoCommands(), timeout=4) is None
    assert clock.sleeps == [2, 2]


async def test_failed_install_also_closes_the_interpreters_clients(osb, opensandbox_local, monkeypatch):
    real = osb._OSCiInterpreter
    closed = []

    class Recording:
        @staticmethod
        async def create(*, sandbox):
            interpreter = await real.create(sandbox=sandbox)
            original = interpreter.aclose

            async def aclose():
                closed.append(True)
                await original()

            interpreter.aclose = aclose
            return interpreter

    monkeypatch.setattr(osb, "_OSCiInterpreter", Recording)
    with pytest.raises(SandboxExecutionError):
        await create(osb, opensandbox_local, additional_packages=["/no/such/package"])
    assert closed == [True] and opensandbox_local.live_count() == 0
