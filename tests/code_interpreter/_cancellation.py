"""Cancelling an operation at each of its await points in turn.

A step is one run of any task other than the test's own (the operation's
task and every task it starts): the test cancels the operation once k steps
have run, for k = 1, 2, ... until the operation completes first. Steps are
counted where asyncio schedules them, through the loop's `call_soon`, which
both the C and the Python task implementations look up on the loop.
"""

import asyncio
from collections.abc import Awaitable, Callable


class StepCounter:
    def __init__(self, loop: asyncio.AbstractEventLoop, own: asyncio.Task) -> None:
        self.steps = 0
        self._loop = loop
        self._own = own
        self._call_soon = loop.call_soon

    def __enter__(self) -> "StepCounter":
        def call_soon(callback, *args, **kwargs):
            owner = getattr(callback, "__self__", None)
            if isinstance(owner, asyncio.Task) and owner is not self._own:
                self.steps += 1
            return self._call_soon(callback, *args, **kwargs)

        self._loop.call_soon = call_soon
        return self

    def __exit__(self, *exc) -> None:
        del self._loop.call_soon


async def cancel_at_every_step(operation: Callable[[], Awaitable], after_cancel: Callable[[], Awaitable],
                               limit: int = 2000):
    """Cancels `operation()` after 1, 2, ... steps, awaiting `after_cancel()`
    after each cancelled run, until a run completes; returns that run's
    result and the number of cancelled runs."""
    loop = asyncio.get_running_loop()
    for k in range(1, limit):
        with StepCounter(loop, asyncio.current_task()) as counter:
            task = asyncio.ensure_future(operation())
            while counter.steps < k and not task.done():
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
    raise AssertionError(f"the operation did not complete within {limit} steps")
