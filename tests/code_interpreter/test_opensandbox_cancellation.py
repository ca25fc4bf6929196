"""OpenSandbox create and terminate cancelled at each of their await points in turn,
against the local server: neither a sandbox in the server nor an open client
connection may stay behind, and what is left must terminate cleanly."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import warnings

import pytest

from _cancellation import cancel_at_every_await_point
from _opensandbox_checks import open_client_sockets, wait_until


@pytest.fixture
def osb(monkeypatch):
    import vorn_sandbox.code_interpreter.opensandbox as module

    # Each run waits for a new sandbox's Jupyter server: poll it often.
    monkeypatch.setattr(module, "_JUPYTER_POLL_INTERVAL", 0.05)
    return module


async def left_behind(server):
    """(live sandboxes, open client connections, ResourceWarnings), once the
    server has finished what it was doing."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        gc.collect()
        sockets = await open_client_sockets(server)
    # A creation request given up by the client still runs to its end in the
    # server, which then destroys what it made: give it the time to.
    with contextlib.suppress(AssertionError):
        await wait_until(lambda: server.live_count() == 0, limit=3)
    unclosed = [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    return server.live_count(), sockets, unclosed


class Sweep:
    def __init__(self, server):
        self.server, self.runs, self.leaks = server, 0, {}
        self.commands_of_cancelled_runs = 0

    async def check(self):
        self.runs += 1
        self.commands_of_cancelled_runs = self.server.faults.calls("run_command")
        found = await left_behind(self.server)
        if found != (0, 0, []):
            self.leaks[self.runs] = found
            self.server.kill_all()


async def test_create_cancelled_at_every_step(osb, opensandbox_local):
    sweep = Sweep(opensandbox_local)

    def create():
        return osb.OpenSandbox.create(domain=opensandbox_local.domain, protocol="http", image="local:base")

    box, cancelled = await cancel_at_every_await_point(create, sweep.check)
    # The sweep went past the creation request: runs were cancelled while they
    # probed the new sandbox's code server (a command each). How many await
    # points come before that depends on the machine's speed.
    assert sweep.commands_of_cancelled_runs > 0
    await box.terminate()
    await sweep.check()
    assert sweep.leaks == {}


async def test_terminate_cancelled_at_every_step(osb, opensandbox_local):
    sweep = Sweep(opensandbox_local)

    def create():
        return osb.OpenSandbox.create(domain=opensandbox_local.domain, protocol="http", image="local:base")

    current = [await create()]

    async def finish_then_renew():
        await current[0].terminate()  # whatever the cancelled one left, this one ends
        assert (current[0]._sandbox, current[0]._interpreter) == (None, None)
        await sweep.check()
        current[0] = await create()

    _, cancelled = await cancel_at_every_await_point(lambda: current[0].terminate(), finish_then_renew)
    await sweep.check()
    assert cancelled > 3 and current[0]._sandbox is None
    assert sweep.leaks == {}
