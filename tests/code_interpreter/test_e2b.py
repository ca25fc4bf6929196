"""E2BSandbox end to end: the real E2B SDK against the local E2B service.

Every test runs with the `e2b_local` fixture, which points the SDK at the
service and fails the test when a sandbox is left alive afterwards.
"""

import asyncio
import functools
import http.server
import logging
import sys
import threading
import time
import zipfile
from pathlib import Path

import pytest
from opentelemetry import trace

import vorn_sandbox.code_interpreter.e2b as e2b_module
from vorn_sandbox.code_interpreter.e2b import E2BSandbox
from vorn_sandbox.errors import (SandboxExecutionError, SandboxNotInitializedError, SandboxStartError,
                                 SandboxTerminateError, Stage)
from vorn_sandbox.models import ExecutionStatus, SandboxFile

from _cancellation import cancel_at_every_await_point

LOGGER = "vorn_sandbox.code_interpreter.e2b"


@pytest.fixture(autouse=True)
def _logs(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)


def warnings_of(caplog):
    return [r for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


@pytest.fixture
async def sandbox(e2b_local):
    backend = await E2BSandbox.create(e2b_local.api_key)
    yield backend
    if backend.sandbox is not None:
        await backend.terminate()


@pytest.fixture
def spans(exporter):
    exporter.clear()

    def named(name):
        return [s for s in exporter.get_finished_spans() if s.name == name]

    return named


# pip inside the sandbox takes the wheel from a loopback server and asks no index.
PIP_OFFLINE = {"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}


@pytest.fixture
def wheel_url(tmp_path):
    """URL of a hand-built wheel served over loopback, which the sandbox reaches."""
    wheel = make_wheel(tmp_path)
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(tmp_path))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/{wheel.name}"
    server.shutdown()
    server.server_close()


def make_wheel(directory: Path, name: str = "vorn_demo_pkg", version: str = "0.1") -> Path:
    """A pure-Python wheel built by hand, so that installing it needs no network."""
    wheel = directory / f"{name}-{version}-py3-none-any.whl"
    dist_info = f"{name}-{version}.dist-info"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr(f"{name}/__init__.py", "GREETING = 'hello from the wheel'\n")
        archive.writestr(f"{dist_info}/METADATA", f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
        archive.writestr(f"{dist_info}/WHEEL", "Wheel-Version: 1.0\nGenerator: hand\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        archive.writestr(f"{dist_info}/RECORD", "")
    return wheel


async def test_code_runs_with_state_streamed_lines_errors_and_time_outs(sandbox, e2b_local, spans):
    lines = []
    first = await sandbox.execute_code("import sys\nx = 21\nprint('one')\nprint('two', file=sys.stderr)",
                                       on_stdout=lines.append, on_stderr=lambda l: lines.append("err:" + l))
    assert (first.status, first.stdout, first.stderr, first.exit_code) == (ExecutionStatus.SUCCESS, "one\n", "two\n", 0)
    assert lines == ["one", "err:two"]
    second = await sandbox.execute_code("print(x * 2)")
    assert second.stdout == "42\n" and second.text == "42\n"

    failed = await sandbox.execute_code("def f():\n    return 1 / 0\nf()")
    assert failed.status is ExecutionStatus.ERROR and failed.exit_code == 1
    assert failed.error.endswith("ZeroDivisionError: division by zero") and "line 2, in f" in failed.error

    slow = await sandbox.execute_code("import time\ntime.sleep(30)", timeout=0.5)
    assert slow.status is ExecutionStatus.TIMEOUT and (slow.stdout, slow.exit_code) == ("", 1)
    assert (await sandbox.execute_code("print('alive')")).stdout == "alive\n"

    statuses = [s.attributes.get("vorn_sandbox.status") for s in spans("vorn_sandbox.execute_code")]
    assert statuses == ["success", "success", "error", "timeout", "success"]
    assert {s.attributes["vorn_sandbox.sandbox_id"] for s in spans("vorn_sandbox.execute_code")} == {sandbox.sandbox_id}


async def test_output_comes_back_as_printed_and_time_outs_come_on_time(sandbox):
    code = ("import sys\nprint('one')\nprint('two')\nprint('x\\ny', file=sys.stderr)\n"
            "print('', file=sys.stderr)\nsys.stdout.write('tail')")
    printed = await sandbox.execute_code(code)
    assert (printed.stdout, printed.stderr) == ("one\ntwo\ntail", "x\ny\n\n")

    # The SDK alone answers such a time-out only after twice the limit.
    started = time.monotonic()
    slow = await sandbox.execute_code("import time\ntime.sleep(30)", timeout=3)
    elapsed = time.monotonic() - started
    assert slow.status is ExecutionStatus.TIMEOUT and elapsed < 5
    assert slow.error.startswith("Execution timed out")
    assert (await sandbox.execute_code("print('alive')")).stdout == "alive\n"


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_uploads_land_in_the_sandbox_tree_and_a_failed_write_is_skipped(sandbox, e2b_local, caplog):
    e2b_local.fail("write", 1)
    files = [SandboxFile(filename="lost.txt", data=b"x"), SandboxFile(filename="sub/b.bin", data=b"\x00\xff"),
             SandboxFile(filename="c.txt", data=b"c")]
    result = await sandbox.execute_code("print(open('/files/sub/b.bin', 'rb').read())", files=files)
    assert result.stdout == "b'\\x00\\xff'\n" and result.status is ExecutionStatus.SUCCESS
    assert not e2b_local.sandbox_path(sandbox.sandbox_id, "/files/lost.txt").exists()
    assert e2b_local.sandbox_path(sandbox.sandbox_id, "/files/c.txt").read_bytes() == b"c"
    assert [r.getMessage().split(":")[0] for r in warnings_of(caplog)] == ["Failed to upload file lost.txt"]
    await sandbox.execute_code("pass", files=[SandboxFile(filename="a.txt", data=b"a")], upload_dir="/data/")
    assert e2b_local.sandbox_path(sandbox.sandbox_id, "/data/a.txt").read_bytes() == b"a"


async def test_commands_report_exit_status_environment_and_time_outs(sandbox):
    ok = await sandbox.execute_command("echo $GREETING; echo note >&2", env={"GREETING": "hi"})
    assert (ok.status, ok.stdout, ok.stderr, ok.error) == (ExecutionStatus.SUCCESS, "hi\n", "note\n", "")
    # The installed SDK raises on a non-zero exit: the result carries its text.
    bad = await sandbox.execute_command("echo partial; echo why >&2; exit 3")
    assert (bad.status, bad.exit_code) == (ExecutionStatus.ERROR, 1)
    assert (bad.stdout, bad.stderr, bad.error) == ("partial\n", "why\n", "why\n")
    quiet = await sandbox.execute_command("echo partial; exit 3")
    assert (quiet.status, quiet.stdout, quiet.stderr, quiet.error) == (ExecutionStatus.ERROR, "partial\n", "", "")
    slow = await sandbox.execute_command("sleep 30", timeout=0.5)
    assert slow.status is ExecutionStatus.TIMEOUT
    assert (await sandbox.execute_command("echo $((6 * 7))", timeout=0)).stdout == "42\n"


async def test_downloads_through_the_url_and_the_filesystem_fallback(sandbox, e2b_local, caplog):
    payload = bytes(range(256)) * 4
    await sandbox.execute_code("pass", files=[SandboxFile(filename="blob.bin", data=payload)])
    assert await sandbox.download_file("/files/blob.bin") == payload
    assert warnings_of(caplog) == []

    e2b_local.fail("download_url", 1, status=404)
    assert await sandbox.download_file("/files/blob.bin") == payload
    assert [r.getMessage() for r in warnings_of(caplog)] == ["URL download for /files/blob.bin returned status 404"]

    caplog.clear()
    assert await sandbox.download_file("/files/missing.bin", timeout=0) is None
    messages = [r.getMessage() for r in warnings_of(caplog)]
    assert messages[0] == "URL download for /files/missing.bin returned status 404"
    assert messages[1].startswith("Failed to download file /files/missing.bin: ")


async def test_download_time_out_shares_one_budget(sandbox, e2b_local, caplog, spans):
    await sandbox.execute_code("pass", files=[SandboxFile(filename="a.txt", data=b"a")])
    e2b_local.hang("download_url", 1)
    # Half the budget goes to the hanging URL, the rest to the filesystem read:
    # three seconds, which even a slow, busy machine reads one byte within.
    assert await sandbox.download_file("/files/a.txt", timeout=6) == b"a"
    assert warnings_of(caplog)[0].getMessage().startswith("URL download failed for /files/a.txt")
    assert spans("vorn_sandbox.file.download")[-1].attributes["vorn_sandbox.status"] == "success"


async def test_a_download_whose_url_attempt_spent_the_budget_is_a_time_out(sandbox, e2b_local, caplog, spans,
                                                                          monkeypatch):
    class Clock:
        """Every monotonic reading is a minute after the previous one."""

        now = 0.0

        def monotonic(self):
            Clock.now += 60
            return Clock.now

        def __getattr__(self, name):
            import time

            return getattr(time, name)

    monkeypatch.setattr(e2b_module, "time", Clock())
    assert await sandbox.download_file("/files/nothing", timeout=5) is None
    (span,) = spans("vorn_sandbox.file.download")
    assert span.attributes["vorn_sandbox.status"] == "timeout"
    (record,) = [r for r in warnings_of(caplog) if r.getMessage().startswith("Download of")]
    assert record.getMessage() == "Download of /files/nothing exceeded timeout of 5 seconds"
    assert record.error_code == Stage.DOWNLOAD


async def test_lease_renewal_and_its_failure(sandbox, e2b_local, caplog):
    live = e2b_local.service.sandboxes[sandbox.sandbox_id]
    before = live.end_at
    await sandbox.set_timeout(3000)
    assert live.end_at > before + 2000
    e2b_local.fail("set_timeout", 1)
    assert await sandbox.set_timeout(10) is None
    assert [r.getMessage().split(":")[0] for r in warnings_of(caplog)] == ["Failed to set sandbox timeout to 10s"]


async def test_terminate_retries_then_empties_the_instance(e2b_local):
    backend = await E2BSandbox.create(e2b_local.api_key)
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await backend.terminate(timeout=0)
    assert e2b_local.live_count() == 1
    e2b_local.fail("kill", 2)
    await backend.terminate()
    assert e2b_local.faults.pending("kill") == 0
    assert e2b_local.live_count() == 0
    assert (backend.sandbox, backend.files, backend.commands, backend.sandbox_id) == (None, None, None, None)
    with pytest.raises(SandboxNotInitializedError):
        await backend.execute_code("1")
    with pytest.raises(SandboxNotInitializedError):
        await backend.execute_command("true")
    with pytest.raises(SandboxNotInitializedError):
        await backend.download_file("/x")
    await backend.terminate(timeout=0)  # holds nothing: returns before the check


@pytest.mark.parametrize("fault", ["fail", "hang"])
async def test_failed_terminate_keeps_the_handle_for_another_try(e2b_local, fault):
    backend = await E2BSandbox.create(e2b_local.api_key)
    if fault == "fail":
        e2b_local.fail("kill", 3, message="kill refused")
    else:
        e2b_local.hang("kill", 1)
    with pytest.raises(SandboxTerminateError) as caught:
        await backend.terminate(timeout=1)
    assert caught.value.stage is Stage.TERMINATE
    if fault == "fail":
        assert "kill refused" in str(caught.value)
    else:
        assert str(caught.value) == "Failed to terminate E2B sandbox: "
        assert isinstance(caught.value.__cause__, TimeoutError)
    e2b_local.release()
    assert backend.sandbox is not None
    await backend.terminate()
    assert backend.sandbox is None


@pytest.mark.parametrize(
    "status, retried",
    [(429, True), (401, False), (404, False), (503, False)],
)
async def test_creation_retries_only_transient_answers(e2b_local, status, retried):
    before = e2b_local.service.created_count
    e2b_local.fail("create", 1, status=status)
    if retried:
        backend = await E2BSandbox.create(e2b_local.api_key, create_backoff=0)
        assert e2b_local.service.created_count == before + 1
        await backend.terminate()
    else:
        with pytest.raises(SandboxStartError) as caught:
            await E2BSandbox.create(e2b_local.api_key, create_backoff=0)
        assert caught.value.transient is False and caught.value.stage is Stage.CREATE
        assert str(caught.value).startswith("Failed to start E2B sandbox: ")
        assert e2b_local.faults.pending("create") == 0 and e2b_local.service.created_count == before


async def test_three_transient_failures_give_the_last_error(e2b_local):
    e2b_local.fail("create", 3, status=429)
    with pytest.raises(SandboxStartError) as caught:
        await E2BSandbox.create(e2b_local.api_key, create_backoff=0)
    assert caught.value.transient is True
    assert type(caught.value.__cause__).__name__ == "RateLimitException"


async def test_unknown_template_fails_at_once(e2b_local):
    with pytest.raises(SandboxStartError) as caught:
        await E2BSandbox.create(e2b_local.api_key, template="no-such-template", create_backoff=0)
    assert caught.value.transient is False


async def test_packages_install_from_a_local_wheel(e2b_local, wheel_url):
    backend = await E2BSandbox.create(e2b_local.api_key, additional_packages=[wheel_url], envs=PIP_OFFLINE)
    try:
        result = await backend.execute_code("import vorn_demo_pkg; print(vorn_demo_pkg.GREETING)")
        assert result.stdout == "hello from the wheel\n"
    finally:
        await backend.terminate()


async def test_failed_install_kills_the_sandbox_and_is_not_retried(e2b_local, tmp_path):
    before = e2b_local.service.created_count
    with pytest.raises(SandboxExecutionError) as caught:
        await E2BSandbox.create(e2b_local.api_key, additional_packages=[str(tmp_path / "absent-1.0-py3-none-any.whl")],
                                envs=PIP_OFFLINE)
    assert caught.value.stage is Stage.PACKAGE_INSTALL and caught.value.__cause__ is None
    assert e2b_local.service.created_count == before + 1
    assert e2b_local.wait_until_no_sandboxes()


async def test_failed_rollback_kill_is_a_warning(e2b_local, tmp_path, caplog):
    e2b_local.fail("kill", 1, message="kill refused")
    with pytest.raises(SandboxExecutionError):
        await E2BSandbox.create(e2b_local.api_key, additional_packages=[str(tmp_path / "absent-1.0-py3-none-any.whl")],
                                envs=PIP_OFFLINE)
    (record,) = warnings_of(caplog)
    assert record.getMessage().startswith("Failed to kill E2B sandbox after a failed create: ")
    assert "kill refused" in record.getMessage()
    assert len(e2b_local.kill_all()) == 1  # left to its lifetime by the backend; ended here


async def test_non_python_language_skips_the_install(e2b_local):
    backend = await E2BSandbox.create(e2b_local.api_key, language="r", additional_packages=["anything"])
    try:
        assert backend.language == "r" and backend.sandbox_id in e2b_local.live_sandboxes()
    finally:
        await backend.terminate()


async def test_cancelled_install_kills_the_sandbox(e2b_local, wheel_url):
    task = asyncio.create_task(E2BSandbox.create(e2b_local.api_key, additional_packages=[wheel_url], envs=PIP_OFFLINE))
    while e2b_local.live_count() == 0:
        await asyncio.sleep(0.005)
    await asyncio.sleep(0.3)  # the SDK has returned the handle; pip is still running
    assert not task.done()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert e2b_local.wait_until_no_sandboxes()


@pytest.mark.parametrize("answered", ["within the wait", "after the wait"])
async def test_a_create_cancelled_in_flight_is_not_retried_and_its_sandbox_is_killed(e2b_local, monkeypatch,
                                                                                     answered):
    if answered == "after the wait":
        monkeypatch.setattr("vorn_sandbox.constants.DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", 0.2)
    before = e2b_local.service.created_count
    e2b_local.hang("create", 1)
    task = asyncio.create_task(E2BSandbox.create(e2b_local.api_key, create_backoff=0))
    while e2b_local.faults.pending("create"):
        await asyncio.sleep(0.005)
    task.cancel()
    if answered == "within the wait":
        await asyncio.sleep(0.05)
        e2b_local.release()
    with pytest.raises(asyncio.CancelledError):
        await task
    e2b_local.release()
    # A late answer's kill runs on this loop: wait here without blocking it.
    for _ in range(500):
        if e2b_local.service.created_count > before and e2b_local.live_count() == 0:
            break
        await asyncio.sleep(0.01)
    assert e2b_local.service.created_count == before + 1 and e2b_local.live_count() == 0


async def test_create_cancelled_at_any_await_point_leaves_no_sandbox(e2b_local):
    async def nothing_left():
        assert e2b_local.live_count() == 0

    backend, cancelled = await cancel_at_every_await_point(lambda: E2BSandbox.create(e2b_local.api_key), nothing_left)
    assert cancelled >= 1 and e2b_local.live_sandboxes() == [backend.sandbox_id]
    await backend.terminate()


async def test_terminate_cancelled_at_any_await_point_can_be_finished(e2b_local):
    current = [await E2BSandbox.create(e2b_local.api_key)]

    async def finish_then_renew():
        await current[0].terminate()
        assert current[0].sandbox is None and e2b_local.live_count() == 0
        current[0] = await E2BSandbox.create(e2b_local.api_key)

    _, cancelled = await cancel_at_every_await_point(lambda: current[0].terminate(), finish_then_renew)
    assert cancelled > 0 and current[0].sandbox is None and e2b_local.live_count() == 0


async def test_default_template_is_ensured_and_used(e2b_local, spans):
    e2b_local.templates.remove("vornsandbox-base")
    backend = await E2BSandbox.create(e2b_local.api_key, ensure_default_template=True)
    try:
        assert e2b_local.service.sandboxes[backend.sandbox_id].alias == "vornsandbox-base"
    finally:
        await backend.terminate()
    (create_span,) = spans("vorn_sandbox.sandbox.create")
    (build_span,) = spans("vorn_sandbox.template.build")
    assert build_span.parent.span_id == create_span.context.span_id
    assert create_span.attributes["vorn_sandbox.template_id"] == "vornsandbox-base"


async def test_a_failed_default_template_falls_back_to_the_service_default(e2b_local):
    e2b_local.templates.remove("vornsandbox-base")
    e2b_local.fail("build", 1, message="no disk")
    backend = await E2BSandbox.create(e2b_local.api_key, ensure_default_template=True)
    try:
        assert e2b_local.service.sandboxes[backend.sandbox_id].alias != "vornsandbox-base"
    finally:
        await backend.terminate()


def test_missing_sdk_gives_the_install_hint():
    code = (
        "import sys\n"
        "sys.modules['e2b_code_interpreter'] = None\n"
        "try:\n"
        "    import vorn_sandbox.code_interpreter.e2b\n"
        "except ImportError as e:\n"
        "    print(e); print(type(e.__cause__).__name__)\n"
        "    print('vorn_sandbox.code_interpreter.e2b' in sys.modules)\n"
        "sys.modules['e2b'] = None\n"
        "try:\n"
        "    import vorn_sandbox.template.e2b\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    import subprocess

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.splitlines()
    assert out == [
        "e2b-code-interpreter and httpx packages are required. Install them with: pip install 'vorn-sandbox[e2b]'",
        "ModuleNotFoundError",
        "False",
        "The 'e2b' package is required for E2BTemplateBuilder. Install it with: pip install 'vorn-sandbox[e2b]'",
    ]
