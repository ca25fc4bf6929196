"""Cancels OpenSandbox.create at random times and counts what is left behind.

Runs the local OpenSandbox server in this process. Each run starts a create,
cancels it after a uniformly random delay within the measured duration of an
uncancelled create, and then counts, once the server has settled: sandboxes
still live in the server, client connections to it still open, and
ResourceWarnings (unclosed transports) from collected objects. A create that
finishes before its cancel is terminated and counted as such.

    .venv/bin/python scripts/opensandbox_cancel_leaks.py [RUNS] [SEED]
"""

from __future__ import annotations

import asyncio
import gc
import random
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "code_interpreter"))

from _opensandbox_checks import open_client_sockets  # noqa: E402
from opensandbox_local.serve import ServerThread  # noqa: E402
from opensandbox_local.server import LocalOpenSandbox  # noqa: E402


async def main(server: LocalOpenSandbox, runs: int, seed: int) -> int:
    import vorn_sandbox.code_interpreter.opensandbox as osb

    def create():
        return osb.OpenSandbox.create(domain=server.domain, protocol="http", image="local:base")

    started = time.monotonic()
    box = await create()
    span = time.monotonic() - started
    await box.terminate()
    print(f"an uncancelled create took {span:.2f} s; cancelling at uniform times in [0, {span:.2f}] s")

    rng = random.Random(seed)
    cancelled = finished = 0
    longest_wait = 0.0
    leaks = []
    for run in range(1, runs + 1):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            task = asyncio.ensure_future(create())
            await asyncio.sleep(rng.uniform(0, span))
            task.cancel()
            cancelled_at = time.monotonic()
            waited = 0.0
            try:
                box = await task
            except asyncio.CancelledError:
                cancelled += 1
                waited = time.monotonic() - cancelled_at
                longest_wait = max(longest_wait, waited)
            else:
                finished += 1
                await box.terminate()
            gc.collect()
            sockets = await open_client_sockets(server)
        # A creation the client gave up on still runs to its end in the server.
        deadline = time.monotonic() + 5
        while server.live_count() and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        live = server.live_count()
        unclosed = sum(issubclass(w.category, ResourceWarning) for w in caught)
        if live or sockets or unclosed:
            # A create that outlived the capped wait is torn down once it
            # finishes: that is late, not leaked. Wait for it, then count again.
            late = time.monotonic() + 30
            while (server.live_count() or await open_client_sockets(server, 0)) and time.monotonic() < late:
                await asyncio.sleep(0.1)
            gc.collect()
            leaks.append((run, live, sockets, unclosed, server.live_count(), await open_client_sockets(server)))
            print(f"  (run {run}: its cancelled create returned {waited:.2f} s after the cancel)", flush=True)
            server.kill_all()
    print(f"runs {runs}: cancelled {cancelled}, finished first {finished}; "
          f"longest wait of a cancelled create {longest_wait:.2f} s")
    print(f"runs with something left 2 s after the create returned: {len(leaks)}")
    for run, live, sockets, unclosed, live_later, sockets_later in leaks:
        print(f"  run {run}: live sandboxes {live}, open client connections {sockets}, ResourceWarnings {unclosed}; "
              f"30 s later: live {live_later}, open {sockets_later}")
    kept = [leak for leak in leaks if leak[4] or leak[5] or leak[3]]
    print(f"runs that leaked for good: {len(kept)}")
    return len(kept)


if __name__ == "__main__":
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    server = LocalOpenSandbox()
    thread = ServerThread(server)
    thread.start()
    try:
        leaked = asyncio.run(main(server, runs, seed))
    finally:
        thread.stop()
        server.close()
    sys.exit(1 if leaked else 0)
