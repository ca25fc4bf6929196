"""The local E2B service under many sandboxes at once: every answer exact."""

import asyncio
import threading
import time
from contextlib import contextmanager

from e2b import AsyncSandbox


@contextmanager
def busy_in_bursts(run_on_service_loop, burst: float = 0.22, gap: float = 0.005):
    """Keeps the service's event loop blocked in bursts, as a loaded machine
    (or a long synchronous step of another call) does."""
    stop = threading.Event()

    async def block() -> None:
        time.sleep(burst)

    def keep_busy() -> None:
        while not stop.is_set():
            run_on_service_loop(block())
            time.sleep(gap)

    thread = threading.Thread(target=keep_busy, daemon=True)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


SANDBOXES = 50
# Each sandbox starts its code kernel as it is made, and how long that takes
# depends on the machine: a few are made at a time, and the commands run once
# all of them are there, so that they all overlap however slow the starts.
STARTS_AT_ONCE = 8
# Long enough for any machine; a wait that runs out fails the test loudly.
PATIENCE_SECONDS = 600


async def test_fifty_sandboxes_at_once_each_get_every_command_output(e2b_local):
    async def run_commands(index: int, starts: asyncio.Semaphore, all_made: asyncio.Barrier) -> list:
        try:
            async with starts:
                sandbox = await AsyncSandbox.create(timeout=2 * PATIENCE_SECONDS, request_timeout=PATIENCE_SECONDS)
        except BaseException:
            await all_made.abort()  # the others stop waiting for this one
            raise
        try:
            await all_made.wait()
            results = []
            for _ in range(4):
                result = await sandbox.commands.run(f"echo {index}", timeout=PATIENCE_SECONDS,
                                                    request_timeout=PATIENCE_SECONDS)
                results.append((result.exit_code, result.stdout, result.stderr))
            return results
        finally:
            await sandbox.kill()

    # Two rounds: a command loses its output only when a busy spell falls
    # between its exit and the reading of its pipes.
    with busy_in_bursts(e2b_local.service.call):
        for _ in range(2):
            starts, all_made = asyncio.Semaphore(STARTS_AT_ONCE), asyncio.Barrier(SANDBOXES)
            outputs = await asyncio.gather(*(run_commands(index, starts, all_made) for index in range(SANDBOXES)),
                                           return_exceptions=True)
            failed = {index: got for index, got in enumerate(outputs) if isinstance(got, BaseException)
                      and not isinstance(got, asyncio.BrokenBarrierError)}
            assert not failed, f"{len(failed)} of {SANDBOXES} sandboxes failed: {failed}"
            wrong = {index: got for index, got in enumerate(outputs) if got != [(0, f"{index}\n", "")] * 4}
            assert not wrong, f"{len(wrong)} of {SANDBOXES} sandboxes got wrong command results: {wrong}"
