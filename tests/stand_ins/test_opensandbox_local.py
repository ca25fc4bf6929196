"""The local OpenSandbox server, driven through the real SDKs."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import time
from datetime import timedelta

import pytest

from code_interpreter import CodeInterpreter
from opensandbox import Sandbox
from opensandbox.config import ConnectionConfig
from opensandbox.config.connection_sync import ConnectionConfigSync
from opensandbox.exceptions import SandboxApiException, SandboxReadyTimeoutException, SandboxTimeoutException
from opensandbox.models.execd import ExecutionHandlers, RunCommandOpts
from opensandbox.models.sandboxes import SnapshotFilter
from opensandbox.sync.manager import SandboxManagerSync
from opensandbox.sync.sandbox import SandboxSync
from opensandbox_local.pytest_plugin import require_isolation

ENTRYPOINT = ["bash", "/opt/opensandbox/code-interpreter.sh"]
JUPYTER_ENV = {"JUPYTER_HOST": "http://127.0.0.1:44771", "JUPYTER_TOKEN": "sesame"}


def _config(server, **extra) -> ConnectionConfig:
    return ConnectionConfig(domain=server.domain, protocol="http", use_server_proxy=True,
                            request_timeout=timedelta(seconds=30), **extra)


def _sync_config(server) -> ConnectionConfigSync:
    return ConnectionConfigSync(domain=server.domain, protocol="http", use_server_proxy=True,
                                request_timeout=timedelta(seconds=30))


async def _sandbox(server, **options) -> Sandbox:
    options.setdefault("entrypoint", ENTRYPOINT)
    options.setdefault("env", JUPYTER_ENV)
    return await Sandbox.create("local:base", connection_config=_config(server),
                                skip_health_check=True, **options)


async def _destroy(sandbox: Sandbox) -> None:
    await sandbox.kill()
    await sandbox.close()


def _lines(messages) -> list[str]:
    return [message.text.rstrip("\n") for message in messages or []]


async def test_commands_files_and_stateful_code(opensandbox_local):
    sandbox = await _sandbox(opensandbox_local)
    try:
        assert opensandbox_local.live_count() == 1
        info = await sandbox.get_info()
        assert info.image.image == "local:base"

        failed = await sandbox.commands.run("echo out; echo err >&2; exit 3")
        assert (_lines(failed.logs.stdout), _lines(failed.logs.stderr)) == (["out"], ["err"])
        assert (failed.error.value, failed.exit_code) == ("3", 3)
        with_env = await sandbox.commands.run("echo $GREETING",
                                              opts=RunCommandOpts(envs={"GREETING": "hi"}))
        assert _lines(with_env.logs.stdout) == ["hi"]

        await sandbox.files.write_file("/files/deep/er/data.bin", b"\x00\x01payload")
        assert await sandbox.files.read_bytes("/files/deep/er/data.bin") == b"\x00\x01payload"
        seen = await sandbox.commands.run("cat /files/deep/er/data.bin | tail -c 7")
        assert _lines(seen.logs.stdout) == ["payload"]
        with pytest.raises(SandboxApiException):
            await sandbox.files.read_bytes("/files/missing")

        interpreter = await CodeInterpreter.create(sandbox=sandbox)  # strict health check
        first = await interpreter.codes.run("x = 41\nprint('step')\nx + 1", language="python")
        assert (first.text, first.error) == ("step\n42", None)
        second = await interpreter.codes.run("print(x)\n1/0", language="python")
        assert second.text == "41"
        assert (second.error.name, second.error.value) == ("ZeroDivisionError", "division by zero")
        await interpreter.aclose()
    finally:
        await _destroy(sandbox)
    assert opensandbox_local.live_count() == 0


async def test_interrupt_raises_keyboard_interrupt_and_keeps_state(opensandbox_local):
    sandbox = await _sandbox(opensandbox_local)
    try:
        # Its health check waits for the code server, which may still be
        # starting on a busy machine when the command daemon already answers.
        interpreter = await CodeInterpreter.create(sandbox=sandbox)
        await interpreter.codes.run("kept = 'yes'", language="python")
        started = asyncio.Event()
        ids: list[str] = []

        async def on_init(message):
            ids.append(message.id)

        async def on_stdout(message):
            started.set()

        # Interrupted only once its first line shows that it runs.
        run = asyncio.create_task(interpreter.codes.run(
            "import time\nprint('running', flush=True)\ntime.sleep(60)", language="python",
            handlers=ExecutionHandlers(on_init=on_init, on_stdout=on_stdout)))
        await asyncio.wait_for(started.wait(), 120)
        await interpreter.codes.interrupt(ids[0])
        stopped = await asyncio.wait_for(run, 120)
        assert stopped.error.name == "KeyboardInterrupt"
        after = await interpreter.codes.run("kept", language="python")
        assert after.text == "'yes'"
        with pytest.raises(SandboxApiException):
            await interpreter.codes.interrupt("no-such-execution")
        await interpreter.aclose()
    finally:
        await _destroy(sandbox)


async def test_sandboxes_are_isolated_and_jupyter_demands_its_token(opensandbox_local, tmp_path):
    require_isolation(opensandbox_local)
    marker = tmp_path / "host-only"
    marker.write_text("x")
    first, second = await asyncio.gather(_sandbox(opensandbox_local), _sandbox(opensandbox_local))
    try:
        # Both listen on the same port: each has a network namespace of its own.
        for sandbox in (first, second):
            # A sandbox is ready once its command daemon is; its code server
            # may still be starting on a busy machine.
            await (await CodeInterpreter.create(sandbox=sandbox)).aclose()
            probe = await sandbox.commands.run(
                "curl -sf http://127.0.0.1:44771/api && echo OK || echo FAIL")
            assert "OK" in "".join(_lines(probe.logs.stdout))
        hidden = await first.commands.run(f"test -e {marker} && echo seen || echo hidden")
        assert _lines(hidden.logs.stdout) == ["hidden"]
        await first.commands.run("touch /root/only-in-first")
        other = await second.commands.run("ls /root")
        assert "only-in-first" not in _lines(other.logs.stdout)
        status = ("curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Authorization: token "
                  "TOKEN' -d '{}' http://127.0.0.1:44771/api/interrupt")
        wrong = await first.commands.run(status.replace("TOKEN", "wrong"))
        right = await first.commands.run(status.replace("TOKEN", "sesame"))
        assert (_lines(wrong.logs.stdout), _lines(right.logs.stdout)) == (["403"], ["200"])
    finally:
        await asyncio.gather(_destroy(first), _destroy(second))


async def test_command_timeout_kills_the_process_group(opensandbox_local):
    sandbox = await _sandbox(opensandbox_local, entrypoint=None)
    try:
        started = time.monotonic()
        result = await sandbox.commands.run("sleep 30 & sleep 30; echo never",
                                            opts=RunCommandOpts(timeout=timedelta(seconds=0.5)))
        assert time.monotonic() - started < 10
        assert result.error is not None and "never" not in "".join(_lines(result.logs.stdout))
        left = await sandbox.commands.run("ps -eo comm | grep -c '^sleep' || true")
        assert _lines(left.logs.stdout) == ["0"]
    finally:
        await _destroy(sandbox)


@pytest.mark.parametrize("operation, call", [
    ("create_sandbox", "create"),
    ("kill_sandbox", "kill"),
    ("run_command", "command"),
])
async def test_fail_switch_hits_the_chosen_call(opensandbox_local, operation, call):
    if call == "create":
        opensandbox_local.faults.fail("create_sandbox", nth=2, status=500, message="boom")
        first = await _sandbox(opensandbox_local, entrypoint=None)
        with pytest.raises(SandboxApiException, match="boom"):
            await _sandbox(opensandbox_local, entrypoint=None)
        await _destroy(first)
        return
    sandbox = await _sandbox(opensandbox_local, entrypoint=None)
    opensandbox_local.faults.fail(operation, message="nope")
    with pytest.raises(SandboxApiException, match="nope"):
        if call == "kill":
            await sandbox.kill()
        else:
            await sandbox.commands.run("true")
    assert opensandbox_local.live_count() == 1  # the failed call changed nothing
    await _destroy(sandbox)


async def test_pending_sandbox_gives_ready_timeout(opensandbox_local):
    opensandbox_local.faults.pending(30)
    with pytest.raises(SandboxReadyTimeoutException):
        await Sandbox.create("local:base", connection_config=_config(opensandbox_local),
                             ready_timeout=timedelta(seconds=0.5), skip_health_check=True)
    # The SDK kills what it could not finish.
    assert opensandbox_local.live_count() == 0


async def _live_count_reaches(server, count: int, within: float = 60.0) -> int:
    deadline = time.monotonic() + within
    while server.live_count() != count and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    return server.live_count()


async def test_start_waits_as_long_as_the_client_does(opensandbox_local):
    # A command daemon slower than any fixed window, as on a loaded machine:
    # the creation succeeds while the client waits for it.
    opensandbox_local.faults.daemon_start_delay = 31
    config = ConnectionConfig(domain=opensandbox_local.domain, protocol="http", use_server_proxy=True,
                              request_timeout=timedelta(seconds=300))
    sandbox = await Sandbox.create("local:base", connection_config=config, entrypoint=None,
                                   ready_timeout=timedelta(seconds=300))
    try:
        assert _lines((await sandbox.commands.run("echo up")).logs.stdout) == ["up"]
    finally:
        await _destroy(sandbox)

    # A client that gives up first: the start stops with it, and nothing is left.
    impatient = ConnectionConfig(domain=opensandbox_local.domain, protocol="http", use_server_proxy=True,
                                 request_timeout=timedelta(seconds=1))
    with pytest.raises(SandboxTimeoutException):
        await Sandbox.create("local:base", connection_config=impatient, entrypoint=None, skip_health_check=True)
    assert opensandbox_local.faults.calls("create_sandbox") == 2
    assert await _live_count_reaches(opensandbox_local, 0, within=20) == 0


async def test_sandbox_processes_start_from_none_of_the_servers_environment(opensandbox_local, monkeypatch):
    # What the tests' process carries (a preloaded sanitizer runtime, say)
    # stays out of the sandbox, as a client's environment stays out of a real one.
    monkeypatch.setenv("VORN_HOST_ONLY", "1")
    sandbox = await _sandbox(opensandbox_local, entrypoint=None)
    try:
        first = opensandbox_local.sandboxes[sandbox.id].runtime.process.pid
        with open(f"/proc/{first}/environ", "rb") as environ:
            assert b"VORN_HOST_ONLY" not in environ.read()
        command = await sandbox.commands.run("echo ${VORN_HOST_ONLY:-unset}")
        assert _lines(command.logs.stdout) == ["unset"]
    finally:
        await _destroy(sandbox)


async def test_delay_switch_and_expiry(opensandbox_local):
    opensandbox_local.faults.delay("get_sandbox", 0.3)
    sandbox = await _sandbox(opensandbox_local, entrypoint=None, timeout=timedelta(seconds=1))
    started = time.monotonic()
    await sandbox.get_info()
    assert time.monotonic() - started >= 0.3
    await asyncio.sleep(1.5)
    assert opensandbox_local.live_count() == 0
    with pytest.raises(SandboxApiException):
        await sandbox.kill()
    await sandbox.close()


def _build_snapshot(server, name: str) -> str:
    sandbox = SandboxSync.create("local:base", connection_config=_sync_config(server),
                                 skip_health_check=True)
    try:
        sandbox.commands.run(f"echo {name} > /root/name")
        return sandbox.create_snapshot(name=name).id
    finally:
        sandbox.kill()
        sandbox.close()


def _wait_state(manager, snapshot_id: str, timeout: float = 10) -> str:
    deadline = time.monotonic() + timeout
    while (state := manager.get_snapshot(snapshot_id).status.state) == "Creating":
        if time.monotonic() > deadline:
            break
        time.sleep(0.05)
    return state


def test_snapshots_restore_page_and_fail_on_demand(opensandbox_local):
    manager = SandboxManagerSync.create(connection_config=_sync_config(opensandbox_local))
    try:
        ids = [_build_snapshot(opensandbox_local, f"t{i}") for i in range(3)]
        assert [_wait_state(manager, sid) for sid in ids] == ["Ready"] * 3
        pages = [manager.list_snapshots(SnapshotFilter(states=["Ready"], page_size=2, page=p))
                 for p in (1, 2)]
        assert [s.id for p in pages for s in p.snapshot_infos] == ids
        assert [p.pagination.has_next_page for p in pages] == [True, False]

        restored = SandboxSync.create(snapshot_id=ids[1], connection_config=_sync_config(opensandbox_local),
                                      skip_health_check=True)
        try:
            assert _lines(restored.commands.run("cat /root/name").logs.stdout) == ["t1"]
        finally:
            restored.kill()
            restored.close()

        opensandbox_local.faults.force_snapshot_state("Failed", "disk full", name="bad")
        bad = _build_snapshot(opensandbox_local, "bad")
        assert _wait_state(manager, bad) == "Failed"
        assert manager.get_snapshot(bad).status.message == "disk full"
        ready = manager.list_snapshots(SnapshotFilter(states=["Ready"], page_size=100, page=1))
        assert bad not in [s.id for s in ready.snapshot_infos]

        opensandbox_local.faults.endless_pages = True
        far = manager.list_snapshots(SnapshotFilter(states=None, page_size=100, page=500))
        assert far.snapshot_infos == [] and far.pagination.has_next_page

        manager.delete_snapshot(ids[0])
        with pytest.raises(SandboxApiException):
            manager.get_snapshot(ids[0])
    finally:
        manager.close()


def test_api_key_is_demanded_when_set():
    from opensandbox_local import running_server
    with running_server(api_key="k3y") as server:
        denied = SandboxManagerSync.create(connection_config=_sync_config(server))
        config = _sync_config(server)
        config.api_key = "k3y"
        allowed = SandboxManagerSync.create(connection_config=config)
        try:
            with pytest.raises(SandboxApiException):
                denied.list_snapshots(SnapshotFilter(page=1, page_size=10))
            assert allowed.list_snapshots(SnapshotFilter(page=1, page_size=10)).snapshot_infos == []
        finally:
            denied.close()
            allowed.close()


def test_read_only_binds_keep_the_flags_of_the_host_mount(tmp_path):
    # A user namespace may not drop nosuid, nodev, noexec or an atime flag of
    # a mount it did not make: the nested namespace stands for a normal user
    # binding a host mount that has them.
    (tmp_path / "flagged").mkdir()
    inner = (f"from opensandbox_local.sandbox_init import _bind_readonly; import os; "
             f"_bind_readonly('{tmp_path}/flagged', '{tmp_path}/root'); "
             f"print(os.statvfs('{tmp_path}/root{tmp_path}/flagged').f_flag)")
    script = (f"mount -t tmpfs -o nosuid,nodev,noexec,noatime tmpfs {tmp_path}/flagged && "
              f"exec unshare --user --map-root-user --mount {sys.executable} -c \"{inner}\"")
    done = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script],
                          capture_output=True, text=True, timeout=120)
    if "unshare failed" in done.stderr:
        pytest.skip("user namespaces refused: " + done.stderr.strip())
    assert done.returncode == 0, done.stderr
    flags = int(done.stdout)
    wanted = os.ST_RDONLY | os.ST_NOSUID | os.ST_NODEV | os.ST_NOEXEC | os.ST_NOATIME
    assert flags & wanted == wanted
