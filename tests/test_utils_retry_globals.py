"""The retry engine's pause and log line go through the module at call time; what it raises
while handling a failure keeps that failure as context; cause walks end on loops."""

import asyncio
import itertools

import pytest

import vorn_sandbox.utils as utils


class Failing:
    """Fails with a new ConnectionError on every call, `succeed_on` excepted."""

    def __init__(self, succeed_on=None):
        self.calls = 0
        self.failures = []
        self.succeed_on = succeed_on

    async def __call__(self):
        self.calls += 1
        if self.calls == self.succeed_on:
            return "done"
        self.failures.append(ConnectionError(f"refused {self.calls}"))
        raise self.failures[-1]


@pytest.mark.parametrize(
    "total_timeout, pause",
    [(10, 0.5), (3, 0.5), (2, 1 / 3), (1, 1 / 6)],
)
async def test_teardown_pauses_and_logs_through_the_patched_module(monkeypatch, total_timeout, pause):
    pauses, lines = [], []

    async def sleep(seconds):
        pauses.append(seconds)

    class Recorder:
        def info(self, message):
            lines.append(message)

    monkeypatch.setattr(utils.asyncio, "sleep", sleep)
    monkeypatch.setattr(utils, "logger", Recorder())
    op = Failing(succeed_on=3)
    assert await utils.kill_with_retry(op, total_timeout=total_timeout) is None
    assert pauses == [pause, pause]
    assert lines == ["Sandbox operation retry 1/3 after: refused 1", "Sandbox operation retry 2/3 after: refused 2"]


async def test_errors_met_while_handling_a_failure_keep_it_as_context():
    # the deadline falls in the pause: the failure hangs below the cancellation, not on the cause chain
    op = Failing()
    with pytest.raises(TimeoutError) as info:
        await utils.create_with_retry(op, is_transient=lambda e: True, attempts=5, backoff=10, total_timeout=0.2)
    cancelled = info.value.__cause__
    assert isinstance(cancelled, asyncio.CancelledError)
    assert cancelled.__context__ is op.failures[0]
    assert op.calls == 1

    def broken(exc):
        raise KeyError("classifier bug")

    op = Failing()
    with pytest.raises(KeyError) as info:
        await utils.create_with_retry(op, is_transient=broken, backoff=0)
    assert info.value.__context__ is op.failures[0]


def test_cause_walk_ends_where_the_chain_loops_back():
    a, b, c = RuntimeError("a"), ValueError("b"), KeyError("c")
    a.__cause__, b.__cause__, c.__cause__ = b, c, b  # loops back into the middle
    assert list(itertools.islice(utils._cause_chain(a), 10)) == [a, b, c]
    a.__cause__ = a
    walk = utils._cause_chain(a)
    assert next(walk) is a
    assert list(itertools.islice(walk, 10)) == []
