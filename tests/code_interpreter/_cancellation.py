"""Cancelling an operation at each of its await points in turn, as a test
sweep: the first run is cancelled where the operation first suspends, the
next where it suspends the second time, and so on until a run completes."""

from __future__ import annotations

import asyncio
import types


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
