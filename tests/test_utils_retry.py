"""Creation and teardown retries of ``vorn_sandbox.utils``."""

import asyncio
import logging
import time

import pytest

from vorn_sandbox.errors import SandboxTerminateError, Stage
from vorn_sandbox.utils import create_with_retry, kill_with_retry, terminate_with_retry

LOGGER = "vorn_sandbox.utils"


class Op:
    """Zero-argument operation: raises the queued failures in turn, then returns ``result``."""

    def __init__(self, failures=(), result=None, *, hang=False):
        self.failures = list(failures)
        self.result = result
        self.hang = hang
        self.calls = 0
        self.starts = []

    async def __call__(self):
        self.calls += 1
        self.starts.append(time.monotonic())
        if self.hang:
            await asyncio.sleep(60)
        if self.failures:
            raise self.failures.pop(0)
        return self.result


class Judge:
    """Transient test that records what it was asked about; refuses to judge forever."""

    def __init__(self, accept=(TimeoutError, ConnectionError)):
        self.accept = accept
        self.judged = []

    def __call__(self, exc):
        self.judged.append(exc)
        if len(self.judged) > 50:
            raise AssertionError("the cause walk does not end")
        return isinstance(exc, self.accept)


class Abort(BaseException):
    pass


@pytest.fixture(autouse=True)
def _info_logs(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)


def retry_lines(caplog):
    records = [r for r in caplog.records if r.name == LOGGER]
    assert all(r.levelno == logging.INFO for r in records)
    return [r.getMessage() for r in records]


@pytest.mark.parametrize("total_timeout", [None, 5.0])
@pytest.mark.parametrize("failures", [0, 1, 2])
async def test_create_returns_the_successful_attempts_object(caplog, failures, total_timeout):
    result = object()
    errors = [TimeoutError(f"cold pull {i}") for i in range(1, failures + 1)]
    op = Op(errors, result)
    got = await create_with_retry(op, is_transient=Judge(), attempts=3, backoff=0, total_timeout=total_timeout)
    assert got is result
    assert op.calls == failures + 1
    assert retry_lines(caplog) == [f"Sandbox operation retry {i}/3 after: cold pull {i}" for i in range(1, failures + 1)]


@pytest.mark.parametrize("attempts", [1, 2, 4])
async def test_exhausted_attempts_reraise_the_last_failure_itself(caplog, attempts):
    errors = [ConnectionError(f"refused {i}") for i in range(1, attempts + 1)]
    last = errors[-1]
    op, judge = Op(errors), Judge()
    with pytest.raises(ConnectionError) as info:
        await create_with_retry(op, is_transient=judge, attempts=attempts, backoff=0)
    assert info.value is last
    assert op.calls == attempts
    assert judge.judged == errors[:-1]  # the last failure is never judged
    assert retry_lines(caplog) == [f"Sandbox operation retry {i}/{attempts} after: refused {i}" for i in range(1, attempts)]


async def test_permanent_failure_is_raised_at_once_without_pause_or_log(caplog):
    failure = PermissionError("bad credentials")
    op = Op([failure], "never")
    started = time.monotonic()
    with pytest.raises(PermissionError) as info:
        await create_with_retry(op, is_transient=Judge(), attempts=3, backoff=5)
    assert info.value is failure
    assert op.calls == 1
    assert time.monotonic() - started < 1
    assert retry_lines(caplog) == []


def _chain(*excs):
    for upper, lower in zip(excs, excs[1:]):
        upper.__cause__ = lower
    return excs


def _cycle(*excs):
    _chain(*excs)[-1].__cause__ = excs[0]  # the last link leads back to the head
    return excs


def _context_only():
    outer = RuntimeError("outer")
    outer.__context__ = TimeoutError("t")
    return (outer,)


SCENARIOS = {
    "direct": (lambda: _chain(TimeoutError("t")), True, [0]),
    "deep": (lambda: _chain(RuntimeError("wrap"), ValueError("mid"), TimeoutError("t")), True, [0, 1, 2]),
    "first-acceptance-stops": (lambda: _chain(RuntimeError("o"), ConnectionError("c"), TimeoutError("t")), True, [0, 1]),
    "context-only": (_context_only, False, [0]),
    "self-cycle": (lambda: _cycle(RuntimeError("self")), False, None),
    "two-cycle": (lambda: _cycle(RuntimeError("a"), ValueError("b")), False, None),
    "cycle-reaching-transient": (lambda: _cycle(RuntimeError("a"), ValueError("b"), TimeoutError("c")), True, None),
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
async def test_whole_cause_chain_is_judged(scenario):
    build, retried, judged_order = scenario
    chain = build()
    judge = Judge()
    op = Op([chain[0]], "ok")
    if retried:
        assert await create_with_retry(op, is_transient=judge, attempts=2, backoff=0) == "ok"
        assert op.calls == 2
    else:
        with pytest.raises(type(chain[0])) as info:
            await create_with_retry(op, is_transient=judge, attempts=2, backoff=0)
        assert info.value is chain[0]
        assert op.calls == 1
    ids = [id(e) for e in judge.judged]
    assert len(ids) == len(set(ids)), "an exception was judged twice"
    if judged_order is not None:
        assert judge.judged == [chain[i] for i in judged_order]
    assert set(ids) <= {id(e) for e in chain}


async def test_pause_between_attempts_is_fixed():
    op = Op([TimeoutError(str(i)) for i in range(3)], "ok")
    assert await create_with_retry(op, is_transient=Judge(), attempts=4, backoff=0.1) == "ok"
    gaps = [b - a for a, b in zip(op.starts, op.starts[1:])]
    assert len(gaps) == 3
    assert min(gaps) >= 0.095
    assert max(gaps) - min(gaps) < 0.08, gaps


async def test_zero_backoff_still_yields_to_the_event_loop():
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0)

    seen = []

    async def op():
        seen.append(ticks)
        if len(seen) < 3:
            raise TimeoutError("again")
        return "ok"

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0)
    try:
        assert await create_with_retry(op, is_transient=Judge(), attempts=3, backoff=0) == "ok"
    finally:
        task.cancel()
    assert seen[0] < seen[1] < seen[2]


@pytest.mark.parametrize(
    "make_op, policy, max_calls",
    [
        (lambda: Op(hang=True), dict(attempts=3, backoff=0), 1),
        (lambda: Op([ConnectionError(str(i)) for i in range(10)]), dict(attempts=10, backoff=0.15), 4),
    ],
    ids=["hanging-attempt", "deadline-in-pauses"],
)
async def test_deadline_covers_all_attempts_and_pauses(make_op, policy, max_calls):
    op = make_op()
    started = time.monotonic()
    with pytest.raises(TimeoutError) as info:
        await create_with_retry(op, is_transient=Judge(), total_timeout=0.4, **policy)
    assert 0.35 <= time.monotonic() - started < 2
    assert not isinstance(info.value, ConnectionError)
    assert 1 <= op.calls <= max_calls


@pytest.mark.parametrize(
    "policy, message",
    [
        (dict(attempts=0), "`attempts` must be at least 1"),
        (dict(attempts=0, backoff=-1), "`attempts` must be at least 1"),
        (dict(backoff=-0.1), "`backoff` must be non-negative"),
        (dict(total_timeout=0), "`total_timeout` must be positive"),
        (dict(total_timeout=-1.0), "`total_timeout` must be positive"),
    ],
)
async def test_invalid_policy_is_rejected_when_awaited(policy, message):
    op = Op(result="ok")
    coro = create_with_retry(op, is_transient=Judge(), **policy)  # creating it checks nothing
    with pytest.raises(ValueError) as info:
        await coro
    assert str(info.value) == message
    assert op.calls == 0


@pytest.mark.parametrize("exc_type", [asyncio.CancelledError, Abort])
async def test_non_exception_failures_leave_at_once(caplog, exc_type):
    op = Op([exc_type()], "ok")
    with pytest.raises(exc_type):
        await create_with_retry(op, is_transient=lambda e: True, attempts=3, backoff=0)
    assert op.calls == 1
    assert retry_lines(caplog) == []


@pytest.mark.parametrize("kind", ["create", "terminate"])
async def test_cancelling_the_caller_during_a_pause(kind):
    op = Op([TimeoutError(str(i)) for i in range(5)])
    if kind == "create":
        coro = create_with_retry(op, is_transient=lambda e: True, attempts=5, backoff=10)
    else:
        coro = terminate_with_retry(op, timeout=30, error_message="Failed to terminate X: {}")
    task = asyncio.create_task(coro)
    while op.calls < 1:
        await asyncio.sleep(0)
    await asyncio.sleep(0.05)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    await asyncio.sleep(0.6)  # past the teardown pause: no further attempt
    assert op.calls == 1


# --- teardown -------------------------------------------------------------------------


async def test_teardown_retries_every_failure_then_wraps_the_last(caplog):
    errors = [ValueError("kill 1"), KeyError("kill 2"), RuntimeError("kill 3")]
    op = Op(list(errors))
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(op, timeout=10, error_message="Failed to terminate E2B sandbox: {}")
    err = info.value
    assert str(err) == "Failed to terminate E2B sandbox: kill 3"
    assert err.stage is Stage.TERMINATE
    assert err.__cause__ is errors[2]
    assert op.calls == 3
    assert retry_lines(caplog) == [
        "Sandbox operation retry 1/3 after: kill 1",
        "Sandbox operation retry 2/3 after: 'kill 2'",
    ]


async def test_teardown_deadline_on_a_hanging_kill():
    op = Op(hang=True)
    started = time.monotonic()
    with pytest.raises(SandboxTerminateError) as info:
        await terminate_with_retry(op, timeout=0.3, error_message="Failed to terminate OpenSandbox: {}")
    assert time.monotonic() - started < 2
    assert str(info.value) == "Failed to terminate OpenSandbox: "
    assert isinstance(info.value.__cause__, TimeoutError)
    assert op.calls == 1


async def test_teardown_pause_is_clamped_to_the_budget(caplog):
    # 0.6 s budget, 3 attempts: pause min(0.5, 0.6 / 6) = 0.1 s; unclamped pauses would miss the deadline
    op = Op([OSError("busy"), ConnectionResetError("reset")], result="dropped")
    assert await terminate_with_retry(op, timeout=0.6, error_message="Failed: {}") is None
    gaps = [b - a for a, b in zip(op.starts, op.starts[1:])]
    assert op.calls == 3
    assert retry_lines(caplog) == ["Sandbox operation retry 1/3 after: busy", "Sandbox operation retry 2/3 after: reset"]
    assert all(0.09 <= g < 0.3 for g in gaps), gaps


@pytest.mark.parametrize("timeout", [0, -1, -0.5])
async def test_teardown_requires_a_positive_timeout(timeout):
    op = Op()
    with pytest.raises(ValueError) as info:
        await terminate_with_retry(op, timeout=timeout, error_message="Failed: {}")
    assert not isinstance(info.value, SandboxTerminateError)
    assert str(info.value) == "`timeout` must be positive"
    assert op.calls == 0


async def test_kill_with_retry_drops_the_result_and_checks_attempts_before_dividing():
    assert await kill_with_retry(Op(result=5), total_timeout=1) is None
    op = Op()
    with pytest.raises(ValueError) as info:
        await kill_with_retry(op, attempts=0)
    assert str(info.value) == "`attempts` must be at least 1"
    assert op.calls == 0
