"""What the OpenSandbox tests count: client connections still open, await points passed."""

from __future__ import annotations

import asyncio
import contextlib
import os
import time
import types


def _client_sockets(port: int) -> int:
    """This process's open TCP sockets connected to `port`. The server runs in
    this process too: its own ends (local port `port`) are not counted."""
    inodes = set()
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as table:
            for line in list(table)[1:]:
                fields = line.split()
                if int(fields[2].rsplit(":", 1)[1], 16) == port and fields[3] != "06":  # 06: TIME_WAIT
                    inodes.add(fields[9])
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/self/fd/{fd}")
            count += target.startswith("socket:[") and target[8:-1] in inodes
    return count


async def open_client_sockets(server, settle: float = 2.0) -> int:
    """Client connections to the local server still open once closing
    transports (and the SDK's fire-and-forget metric reports) have finished."""
    deadline = time.monotonic() + settle
    while (count := _client_sockets(server.port)) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    return count


async def wait_until(condition, limit: float = 30.0) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "the local server never got there"
        await asyncio.sleep(0.02)


async def cancel_at_every_await_point(operation, after_cancel, limit: int = 1000):
    """Cancels `operation()` at its 1st, 2nd, ... await point (each time its
    own coroutine chain suspends), awaiting `after_cancel()` after each
    cancelled run, until a run completes first; returns that run's result and
    the number of cancelled runs. Only the operation's own suspensions are
    counted: the tasks it starts are cancelled through it, where they are."""
    for k in range(1, limit):
        steps = [0]

        async def run():
            return await _counted(operation(), steps)

        task = asyncio.ensure_future(run())
        while steps[0] < k and not task.done():
            await asyncio.sleep(0)
        if not task.done():
            task.cancel()
        try:
            result = await task
        except asyncio.CancelledError:
            result = None
        if not task.cancelled():
            return result, k - 1
        await after_cancel()
    raise AssertionError(f"the operation did not complete within {limit} await points")


@types.coroutine
def _counted(coro, steps: list[int]):
    """Awaits `coro`, counting in steps[0] each time it suspends: its await points, in order."""
    value, error = None, None
    while True:
        try:
            yielded = coro.throw(error) if error is not None else coro.send(value)
        except StopIteration as stop:
            return stop.value
        steps[0] += 1
        try:
            value, error = (yield yielded), None
        except BaseException as thrown:  # noqa: B036 - passed on to the coroutine, as await does
            value, error = None, thrown
