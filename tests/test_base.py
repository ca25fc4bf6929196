"""The abstract sandbox root: construction, transient test and shielded rollback."""

import abc
import asyncio
import errno
import gc
import inspect
import weakref

import pytest

from vorn_sandbox.base import BaseSandbox

P = inspect.Parameter


class Complete(BaseSandbox):
    async def terminate(self, *, timeout=10):
        return await super().terminate(timeout=timeout)

    async def download_file(self, file_path, *, timeout=30):
        return await super().download_file(file_path, timeout=timeout)


@pytest.mark.parametrize(
    ("name", "params", "is_coroutine"),
    [
        ("terminate", [("self", P.POSITIONAL_OR_KEYWORD, P.empty), ("timeout", P.KEYWORD_ONLY, 10)], True),
        ("download_file", [("self", P.POSITIONAL_OR_KEYWORD, P.empty),
                           ("file_path", P.POSITIONAL_OR_KEYWORD, P.empty),
                           ("timeout", P.KEYWORD_ONLY, 30)], True),
        ("_shielded_rollback", [("teardown", P.POSITIONAL_OR_KEYWORD, P.empty),
                                ("timeout", P.KEYWORD_ONLY, 10)], True),
        ("_is_transient_create_error", [("exc", P.POSITIONAL_OR_KEYWORD, P.empty)], False),
    ],
)
def test_member_signatures(name, params, is_coroutine):
    member = getattr(BaseSandbox, name)
    sig = inspect.signature(member)
    assert [(p.name, p.kind, p.default) for p in sig.parameters.values()] == params
    assert inspect.iscoroutinefunction(member) is is_coroutine
    kind = {"_shielded_rollback": staticmethod, "_is_transient_create_error": classmethod}.get(name)
    if kind:
        assert isinstance(inspect.getattr_static(BaseSandbox, name), kind)


def test_construction():
    assert BaseSandbox.__bases__ == (abc.ABC,)
    assert BaseSandbox.__abstractmethods__ == frozenset({"terminate", "download_file"})
    with pytest.raises(TypeError):
        BaseSandbox()
    for missing in ("terminate", "download_file"):
        ns = {k: v for k, v in vars(Complete).items() if k in ("terminate", "download_file") and k != missing}
        with pytest.raises(TypeError):
            type("Partial", (BaseSandbox,), ns)()
    Complete(api_key="k", template=None, anything=1)  # keywords are accepted and ignored
    with pytest.raises(TypeError):
        Complete("positional")

    class Recorder:
        def __init__(self, *args, **kwargs):
            self.received = (args, kwargs)

    class Mixed(Complete, Recorder):
        pass

    assert Mixed(region="eu", retries=3).received == ((), {})  # nothing is passed up the MRO


def _wrapped_timeout():
    exc = RuntimeError("wrapper")
    exc.__cause__ = TimeoutError()
    return exc


@pytest.mark.parametrize(
    ("exc", "expected"),
    [(TimeoutError(), True), (asyncio.TimeoutError(), True), (ConnectionError(), True),
     (ConnectionResetError(), True), (BrokenPipeError(), True),
     (OSError(errno.ETIMEDOUT, "timed out"), True),  # the host makes this a TimeoutError
     (OSError("plain"), False), (ValueError(), False), (KeyboardInterrupt(), False),
     (_wrapped_timeout(), False)],  # one exception is judged, never its chain
)
def test_transient_create_error(exc, expected):
    assert BaseSandbox._is_transient_create_error(exc) is expected
    assert Complete._is_transient_create_error(exc) is expected


@pytest.mark.parametrize("method", ["terminate", "download_file"])
async def test_abstract_bodies_raise_bare_not_implemented(method):
    sandbox = Complete()
    call = sandbox.terminate() if method == "terminate" else sandbox.download_file("/a")
    with pytest.raises(NotImplementedError) as info:
        await call
    assert info.value.args == () and str(info.value) == ""


# --- shielded rollback -----------------------------------------------------


async def test_rollback_waits_for_a_quick_teardown():
    steps = []

    async def teardown():
        await asyncio.sleep(0.01)
        steps.extend(["kill", "close"])

    assert await BaseSandbox._shielded_rollback(teardown()) is None
    assert steps == ["kill", "close"]


async def _raise(exc):
    raise exc


@pytest.mark.parametrize(
    "make", [lambda: _raise(RuntimeError("kill failed")), lambda: _raise(asyncio.CancelledError()),
             lambda: None, lambda: 42],
    ids=["raises", "cancelled", "none", "not-awaitable"],
)
async def test_rollback_absorbs_failures(make):
    assert await BaseSandbox._shielded_rollback(make(), timeout=1) is None


async def test_rollback_lets_other_base_exceptions_through():
    class Fatal(BaseException):
        pass

    async def teardown():
        raise Fatal()

    with pytest.raises(Fatal):
        await BaseSandbox._shielded_rollback(teardown(), timeout=1)


@pytest.mark.parametrize("timeout", [0.05, 0, -1])
async def test_rollback_releases_caller_at_timeout_and_teardown_finishes(timeout):
    loop = asyncio.get_running_loop()
    finished = loop.create_future()

    async def teardown():
        await asyncio.sleep(0.6)
        finished.set_result("done")

    start = loop.time()
    assert await BaseSandbox._shielded_rollback(teardown(), timeout=timeout) is None
    assert loop.time() - start < 0.45
    assert not finished.done()
    assert await asyncio.wait_for(finished, 2) == "done"


async def test_cancelled_caller_returns_normally_and_raises_its_own_failure():
    finished = asyncio.Event()
    waiting = asyncio.Event()

    async def teardown():
        waiting.set()
        await asyncio.sleep(0.5)
        finished.set()

    async def creation_attempt():
        try:
            raise ConnectionError("provider step failed")
        except ConnectionError:
            await BaseSandbox._shielded_rollback(teardown(), timeout=5)
            raise

    task = asyncio.create_task(creation_attempt())
    await waiting.wait()
    task.cancel()
    with pytest.raises(ConnectionError, match="provider step failed"):
        await task
    assert not finished.is_set()
    await asyncio.wait_for(finished.wait(), 2)


async def test_background_teardown_survives_garbage_collection():
    """The detached teardown is kept alive by the library, not only by the event loop."""
    loop = asyncio.get_running_loop()
    outcome = []

    async def teardown():
        waiter = loop.create_future()
        ref = weakref.ref(waiter)
        # nothing but this coroutine holds the future: only the library can keep the task alive
        loop.call_later(0.2, lambda: (f := ref()) is not None and not f.done() and f.set_result(None))
        try:
            await waiter
        except GeneratorExit:
            outcome.append("destroyed")
            raise
        outcome.append("finished")

    await BaseSandbox._shielded_rollback(teardown(), timeout=0.02)
    for _ in range(3):
        gc.collect()
        await asyncio.sleep(0)
    await asyncio.sleep(0.6)
    assert outcome == ["finished"]


async def test_background_teardown_failure_is_retrieved():
    loop = asyncio.get_running_loop()
    reported = []
    previous = loop.get_exception_handler()
    loop.set_exception_handler(lambda _loop, context: reported.append(context))
    finished = asyncio.Event()

    async def teardown():
        try:
            await asyncio.sleep(0.1)
        finally:
            finished.set()
        raise RuntimeError("late kill failure")

    try:
        await BaseSandbox._shielded_rollback(teardown(), timeout=0.01)
        await asyncio.wait_for(finished.wait(), 2)
        for _ in range(3):
            await asyncio.sleep(0.01)
            gc.collect()
    finally:
        loop.set_exception_handler(previous)
    assert [c.get("message") for c in reported] == []
