"""The local E2B service driven through the real E2B SDK: sandboxes, code,
commands, files, lifetime."""

import asyncio
import io
import os
import time

import httpx
import pytest
from e2b.exceptions import InvalidArgumentException, TimeoutException
from e2b.sandbox.commands.command_handle import CommandExitException
from e2b_code_interpreter import AsyncSandbox


@pytest.fixture
async def sandbox(e2b_local):
    handle = await AsyncSandbox.create(timeout=120)
    try:
        yield handle
    finally:
        await handle.kill()


async def test_code_streams_lines_while_running_and_keeps_state(sandbox):
    seen = []
    execution = await sandbox.run_code(
        "import sys, time\nvalue = 41\nprint('first')\ntime.sleep(0.6)\nprint('second', file=sys.stderr)\nvalue + 1",
        on_stdout=lambda message: seen.append(("out", message.line, time.monotonic())),
        on_stderr=lambda message: seen.append(("err", message.line, time.monotonic())),
        timeout=30,
    )
    assert [(kind, line) for kind, line, _ in seen] == [("out", "first\n"), ("err", "second\n")]
    # The first line reached the callback while the cell was still sleeping.
    assert seen[1][2] - seen[0][2] > 0.4
    assert execution.logs.stdout == ["first\n"] and execution.logs.stderr == ["second\n"]
    assert execution.error is None and execution.results[0].text == "42"
    again = await sandbox.run_code("value * 2", timeout=30)
    assert again.results[0].text == "82"


async def test_code_error_is_reported_with_name_value_and_traceback(sandbox):
    execution = await sandbox.run_code("def f():\n    return 1 / 0\nprint('before', end='')\nf()", timeout=30)
    assert execution.error.name == "ZeroDivisionError"
    assert execution.error.value == "division by zero"
    assert 'File "<cell>", line 2, in f' in execution.error.traceback
    # Output without a final newline still arrives, as it was printed.
    assert execution.logs.stdout == ["before"]
    syntax = await sandbox.run_code("def f(:", timeout=30)
    assert syntax.error.name == "SyntaxError"
    assert syntax.error.traceback.startswith('  File "<cell>", line 1')


async def test_code_environment_applies_to_one_run_only(sandbox):
    first = await sandbox.run_code("import os; print(os.environ.get('COLOUR'))", envs={"COLOUR": "red"}, timeout=30)
    second = await sandbox.run_code("print(os.environ.get('COLOUR'))", timeout=30)
    assert first.logs.stdout == ["red\n"] and second.logs.stdout == ["None\n"]


async def test_code_time_out_interrupts_the_cell_and_keeps_the_kernel(sandbox):
    await sandbox.run_code("kept = 'yes'", timeout=30)
    started = time.monotonic()
    with pytest.raises(TimeoutException):
        await sandbox.run_code("import time\nwhile True: time.sleep(0.05)", timeout=1)
    assert time.monotonic() - started < 10
    after = await sandbox.run_code("kept", timeout=30)
    assert after.results[0].text == "'yes'"


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_commands_run_in_a_shell_with_their_output_exit_code_and_env(sandbox):
    result = await sandbox.commands.run("echo out-$GREETING; echo err >&2; pwd", envs={"GREETING": "hi"}, timeout=10)
    assert (result.exit_code, result.stdout, result.stderr) == (0, "out-hi\n/home/user\n", "err\n")
    with pytest.raises(CommandExitException) as failed:
        await sandbox.commands.run("echo partial; exit 3", timeout=10)
    assert failed.value.exit_code == 3 and failed.value.stdout == "partial\n"


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_command_time_out_kills_its_whole_process_group(sandbox, e2b_local):
    with pytest.raises(TimeoutException):
        await sandbox.commands.run("sleep 300 & echo $! > /tmp/child; sleep 300", timeout=1)
    child = int(e2b_local.sandbox_path(sandbox.sandbox_id, "/tmp/child").read_text())
    deadline = time.monotonic() + 5
    while os.path.exists(f"/proc/{child}") and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    assert not os.path.exists(f"/proc/{child}")


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_files_land_in_the_sandbox_tree_and_round_trip(sandbox, e2b_local):
    payload = bytes(range(256)) * 3
    await sandbox.files.write("/files/sub/data.bin", payload)
    await sandbox.files.write("notes.txt", b"relative")
    assert e2b_local.sandbox_path(sandbox.sandbox_id, "/files/sub/data.bin").read_bytes() == payload
    seen_by_code = await sandbox.run_code("open('/files/sub/data.bin', 'rb').read() == bytes(range(256)) * 3")
    assert seen_by_code.results[0].text == "True"
    seen_by_shell = await sandbox.commands.run("cat /home/user/notes.txt", timeout=10)
    assert seen_by_shell.stdout == "relative"
    await sandbox.commands.run("printf made-by-shell > /tmp/out.txt", timeout=10)
    assert bytes(await sandbox.files.read("/tmp/out.txt", format="bytes", request_timeout=5)) == b"made-by-shell"
    if e2b_local.service.isolate:
        assert not os.path.exists("/files/sub/data.bin")


async def test_signed_download_url_serves_bytes_without_credentials(sandbox):
    payload = b"\x00\xffbinary\r\n"
    await sandbox.files.write("/files/blob", payload)
    url = sandbox.download_url("/files/blob")
    async with httpx.AsyncClient() as client:
        good = await client.get(url)
        missing = await client.get(sandbox.download_url("/files/nothing-here"))
        forged = await client.get(url.replace("signature=v1_", "signature=v1_x"))
    assert (good.status_code, good.content) == (200, payload)
    assert missing.status_code == 404
    assert forged.status_code == 401


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_sandboxes_do_not_see_each_other(sandbox, e2b_local):
    other = await AsyncSandbox.create(timeout=60)
    try:
        await sandbox.commands.run("echo mine > /home/user/private", timeout=10)
        found = await other.run_code("import os; os.path.exists('/home/user/private')", timeout=30)
        assert found.results[0].text == "False"
    finally:
        await other.kill()


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_kill_ends_the_sandbox_and_its_processes(e2b_local):
    handle = await AsyncSandbox.create(timeout=60)
    await handle.run_code("x = 1", timeout=30)
    # A daemon that left the command's process group behind.
    await handle.commands.run("setsid sleep 300 > /dev/null 2>&1 < /dev/null & echo $! > /tmp/daemon", timeout=10)
    daemon = int(e2b_local.sandbox_path(handle.sandbox_id, "/tmp/daemon").read_text())
    assert os.path.exists(f"/proc/{daemon}")
    assert handle.sandbox_id in e2b_local.live_sandboxes()
    assert await handle.kill() is True
    if e2b_local.service.isolate:
        for _ in range(100):
            if not os.path.exists(f"/proc/{daemon}"):
                break
            await asyncio.sleep(0.05)
        assert not os.path.exists(f"/proc/{daemon}")
    assert handle.sandbox_id not in e2b_local.live_sandboxes()
    assert await handle.kill() is False
    with pytest.raises(TimeoutException):
        await handle.commands.run("true", timeout=5)


async def test_lifetime_ends_the_sandbox_and_set_timeout_renews_it(e2b_local):
    short = await AsyncSandbox.create(timeout=1)
    renewed = await AsyncSandbox.create(timeout=1)
    await renewed.set_timeout(60)
    await asyncio.sleep(1.6)
    live = e2b_local.live_sandboxes()
    assert short.sandbox_id not in live and renewed.sandbox_id in live
    await renewed.kill()


async def test_kernel_that_exits_is_restarted_without_its_state(sandbox):
    await sandbox.run_code("lost = 1", timeout=30)
    died = await sandbox.run_code("import os; os._exit(3)", timeout=30)
    assert died.error.name == "KernelDied"
    after = await sandbox.run_code("lost", timeout=30)
    assert after.error.name == "NameError"


async def test_killing_the_sandbox_mid_run_drops_the_run(e2b_local):
    handle = await AsyncSandbox.create(timeout=60)
    run = asyncio.ensure_future(handle.run_code("import time; time.sleep(30)", timeout=60))
    await asyncio.sleep(0.5)
    await handle.kill()
    with pytest.raises(TimeoutException, match="killed"):
        await asyncio.wait_for(run, 10)


@pytest.mark.parametrize("wrap", [bytes, io.BytesIO], ids=["multipart", "octet-stream"])
async def test_both_upload_encodings_write_the_exact_bytes(sandbox, e2b_local, wrap):
    payload = b"\r\n\x00" + os.urandom(70000)
    await sandbox.files.write("/files/upload.bin", wrap(payload))
    assert e2b_local.sandbox_path(sandbox.sandbox_id, "/files/upload.bin").read_bytes() == payload


@pytest.mark.usefixtures("e2b_local_isolated")
async def test_files_api_does_not_follow_symlinks_out_of_the_sandbox(sandbox):
    await sandbox.commands.run("ln -s /etc /home/user/host-etc", timeout=10)
    with pytest.raises(InvalidArgumentException, match="outside the sandbox"):
        await sandbox.files.read("/home/user/host-etc/hostname")
    with pytest.raises(InvalidArgumentException, match="outside the sandbox"):
        await sandbox.files.write("/home/user/host-etc/e2b-local-should-not-exist", b"x")
    assert not os.path.exists("/etc/e2b-local-should-not-exist")
