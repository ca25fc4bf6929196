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


async def test_fifty_sandboxes_at_once_each_get_every_command_output(e2b_local):
    async def run_commands(index: int) -> list[tuple[int, str, str]]:
        sandbox = await AsyncSandbox.create(timeout=120)
        try:
            results = []
            for _ in range(4):
                result = await sandbox.commands.run(f"echo {index}", timeout=60)
                results.append((result.exit_code, result.stdout, result.stderr))
            return results
        finally:
            await sandbox.kill()

    # Two rounds: a command loses its output only when a busy spell falls
    # between its exit and the reading of its pipes.
    with busy_in_bursts(e2b_local.service.call):
        for _ in range(2):
            outputs = await asyncio.gather(*(run_commands(index) for index in range(50)))
            wrong = {index: got for index, got in enumerate(outputs) if got != [(0, f"{index}\n", "")] * 4}
            assert not wrong, f"{len(wrong)} of 50 sandboxes got wrong command results: {wrong}"
