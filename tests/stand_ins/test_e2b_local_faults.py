"""Fault switches of the local E2B service, seen through the real SDK."""

import asyncio
import threading

import httpx
import pytest
from e2b.exceptions import (
    AuthenticationException,
    RateLimitException,
    SandboxException,
    ServiceBusyException,
)
from e2b_code_interpreter import AsyncSandbox


@pytest.mark.parametrize(
    ("status", "raised"),
    [
        (429, RateLimitException),
        (503, ServiceBusyException),
        (401, AuthenticationException),
        (404, SandboxException),
        (500, SandboxException),
    ],
)
async def test_failed_creations_raise_the_sdk_exception_once_each(e2b_local, status, raised):
    e2b_local.fail("create", times=2, status=status)
    for _ in range(2):
        with pytest.raises(raised) as failure:
            await AsyncSandbox.create(timeout=30)
        assert str(status) in str(failure.value)
    assert e2b_local.live_count() == 0
    handle = await AsyncSandbox.create(timeout=30)
    await handle.kill()


async def test_sdk_retries_a_busy_answer_when_the_switch_allows_it(e2b_local):
    e2b_local.fail("create", status=503, sdk_retry=True)
    handle = await AsyncSandbox.create(timeout=30)
    assert e2b_local.faults.pending("create") == 0
    await handle.kill()


async def test_hung_creation_creates_nothing_once_the_client_gave_up(e2b_local):
    e2b_local.hang("create")
    with pytest.raises(httpx.TimeoutException):
        await AsyncSandbox.create(timeout=30, request_timeout=0.5)
    assert await asyncio.to_thread(e2b_local.wait_until_not_hanging)
    e2b_local.release()
    assert e2b_local.live_count() == 0


async def test_hung_creation_goes_on_when_released(e2b_local):
    e2b_local.hang("create")
    threading.Timer(0.3, e2b_local.release).start()
    handle = await AsyncSandbox.create(timeout=30)
    assert e2b_local.live_sandboxes() == [handle.sandbox_id]
    await handle.kill()


async def test_failed_and_hung_kills_leave_the_sandbox_alive(e2b_local):
    handle = await AsyncSandbox.create(timeout=30)
    e2b_local.fail("kill", status=500)
    with pytest.raises(SandboxException):
        await handle.kill()
    e2b_local.hang("kill")
    with pytest.raises((httpx.TimeoutException, SandboxException)):
        await handle.kill(request_timeout=0.5)
    assert await asyncio.to_thread(e2b_local.wait_until_not_hanging)
    e2b_local.release()
    assert e2b_local.live_sandboxes() == [handle.sandbox_id]
    assert await handle.kill() is True


async def test_failed_write_raises_and_writes_nothing(e2b_local):
    handle = await AsyncSandbox.create(timeout=30)
    try:
        e2b_local.fail("write", status=500, message="disk on fire")
        with pytest.raises(SandboxException, match="disk on fire"):
            await handle.files.write("/files/a.txt", b"lost")
        assert not e2b_local.sandbox_path(handle.sandbox_id, "/files/a.txt").exists()
        await handle.files.write("/files/a.txt", b"kept")
        assert e2b_local.sandbox_path(handle.sandbox_id, "/files/a.txt").read_bytes() == b"kept"
    finally:
        await handle.kill()


async def test_download_url_can_answer_404_or_hang_while_the_filesystem_read_works(e2b_local):
    handle = await AsyncSandbox.create(timeout=30)
    try:
        await handle.files.write("/files/a.txt", b"content")
        url = handle.download_url("/files/a.txt")
        e2b_local.fail("download_url", status=404)
        e2b_local.hang("download_url")
        async with httpx.AsyncClient() as client:
            assert (await client.get(url)).status_code == 404
            with pytest.raises(httpx.TimeoutException):
                await client.get(url, timeout=0.5)
            assert (await client.get(url)).content == b"content"
        # The switch is for the signed URL only.
        e2b_local.fail("download_url", status=404)
        assert bytes(await handle.files.read("/files/a.txt", format="bytes")) == b"content"
    finally:
        await handle.kill()


async def test_failed_set_timeout_raises_and_keeps_the_lease(e2b_local):
    handle = await AsyncSandbox.create(timeout=1)
    try:
        e2b_local.fail("set_timeout", status=500)
        with pytest.raises(SandboxException):
            await handle.set_timeout(60)
        await asyncio.sleep(1.5)
        assert e2b_local.live_count() == 0
    finally:
        await handle.kill()


def test_switches_refuse_unknown_operations_and_counts(e2b_local):
    with pytest.raises(ValueError, match="unknown operation"):
        e2b_local.fail("explode")
    with pytest.raises(ValueError, match="at least 1"):
        e2b_local.hang("kill", times=0)


def test_control_api_sets_switches_and_lists_sandboxes(e2b_local):
    base = e2b_local.url + "/_local"
    assert httpx.post(f"{base}/faults", json={"operation": "create", "status": 429, "times": 2}).json() == {"pending": 2}
    assert httpx.post(f"{base}/faults", json={"operation": "nope"}).status_code == 400
    assert httpx.post(f"{base}/reset").status_code == 204
    assert e2b_local.faults.pending("create") == 0
    assert httpx.get(f"{base}/sandboxes").json() == {"live": []}
