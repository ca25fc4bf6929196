"""C++ coroutines under asyncio: the coroutine protocol, cancellation, GC."""

import asyncio
import contextvars
import gc
import sys
import threading
import weakref

import pytest

from _cycles import collected_after_loop


async def test_asyncio_entry_points_accept_native_coroutines(testmod):
    assert await testmod.add_later(2, 3) == 5
    assert await asyncio.create_task(testmod.add_later("a", "b")) == "ab"
    assert await asyncio.gather(testmod.add_later(1, 1), testmod.add_later(2, 2)) == [2, 4]
    assert await asyncio.wait_for(testmod.add_later(1, 2), timeout=5) == 3
    assert await asyncio.shield(testmod.add_later(4, 4)) == 8
    async with asyncio.TaskGroup() as group:
        task = group.create_task(testmod.add_later(10, 1))
    assert task.result() == 11
    unawaited = testmod.add_later(0, 0)
    assert asyncio.iscoroutine(unawaited.__await__())
    unawaited.close()


def test_asyncio_run_and_protocol(testmod):
    assert asyncio.run(testmod.add_later(1, 2)) == 3
    coro = testmod.trivial()
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    fresh = testmod.add_later(1, 2)
    with pytest.raises(TypeError, match="non-None"):
        fresh.send(1)
    fresh.close()


async def test_exceptions_pass_through_unchanged(testmod):
    error = KeyError("boom")
    with pytest.raises(KeyError) as caught:
        await testmod.fail_later(error)
    assert caught.value is error

    async def python_failure():
        await asyncio.sleep(0)
        raise ValueError("from python")

    with pytest.raises(ValueError, match="from python"):
        await testmod.await_it(python_failure())
    with pytest.raises(TypeError, match="can't be used in 'await'"):
        await testmod.await_it(42)


async def test_awaits_any_python_awaitable(testmod):
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    loop.call_soon(future.set_result, "resolved")
    assert await testmod.await_it(future) == "resolved"

    class Custom:
        def __await__(self):
            yield
            return "custom"

    assert await testmod.await_it(Custom()) == "custom"
    assert await testmod.await_it(testmod.add_later(2, 2)) == 4


async def test_cancel_runs_awaiting_cleanup_and_reraises_same_error(testmod):
    log = []
    task = asyncio.create_task(testmod.cleanup_on_cancel(log, 10))
    await asyncio.sleep(0)
    task.cancel("stop now")
    with pytest.raises(asyncio.CancelledError) as caught:
        await task
    assert log == ["cleaned"]
    assert task.cancelled()
    assert caught.value.args == ("stop now",) or caught.value.__context__ is not None


async def test_wait_for_timeout_cancels_native_coroutine(testmod):
    log = []
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(testmod.cleanup_on_cancel(log, 10), timeout=0.01)
    assert log == ["cleaned"]


async def test_contextvars_and_threads(testmod):
    var = contextvars.ContextVar("var", default="unset")
    var.set("outer")
    assert await testmod.read_var(var) == "outer"
    ctx = contextvars.Context()
    ctx.run(var.set, "inner")
    assert await asyncio.create_task(testmod.read_var(var), context=ctx) == "inner"
    assert await testmod.in_thread(threading.get_ident) != threading.get_ident()


def test_close_before_start_and_suspended_collection(testmod):
    class Box(list):
        pass

    log = Box()
    coro = testmod.guarded(log, 10)
    ref = weakref.ref(log)
    del log
    coro.close()  # never started: the frame and its arguments go at once
    assert ref() is None
    with pytest.raises(RuntimeError):
        coro.send(None)

    log = []

    async def start_and_drop():
        coro = testmod.guarded(log, 10)
        task = asyncio.ensure_future(coro)
        await asyncio.sleep(0)
        task.cancel()
        await asyncio.sleep(0)

    asyncio.run(start_and_drop())
    assert log == ["destroyed"]

    # A coroutine suspended and then simply dropped: its frame is closed and destroyed.
    async def suspend_and_drop():
        coro = testmod.guarded(log, 10)
        coro.send(None)
        del coro
        gc.collect()
        assert log == ["destroyed"] * 2

    asyncio.run(suspend_and_drop())


def test_throw_reaches_awaited_object_first(testmod):
    log = []

    class Probe:
        def __await__(self):
            try:
                yield "waiting"
            except KeyError:
                log.append("probe saw it")
                raise
            return None

    coro = testmod.await_it(Probe())
    assert coro.send(None) == "waiting"
    with pytest.raises(KeyError):
        coro.throw(KeyError("x"))
    assert log == ["probe saw it"]


def test_gc_sees_frame_arguments(testmod):
    class Box:
        pass

    async def run():
        future = asyncio.get_running_loop().create_future()
        box = Box()
        coro = testmod.hold(box, future)
        box.coro = coro  # a cycle through the C++ frame
        ref = weakref.ref(box)
        coro.send(None)
        return ref

    assert collected_after_loop(run)


def test_long_synchronous_await_chains_do_not_grow_the_stack(testmod):
    assert asyncio.run(testmod.count_sync(200_000)) == 200_000
    assert asyncio.run(testmod.depth(100_000)) == 100_000


def test_create_cancel_cycles_keep_refcounts_flat(testmod):
    marker = object()

    async def cycle(n):
        for _ in range(n):
            task = asyncio.create_task(testmod.hold(marker, asyncio.get_running_loop().create_future()))
            await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            testmod.add_later(marker, marker).close()

    asyncio.run(cycle(100))
    gc.collect()
    before = sys.getrefcount(marker)
    asyncio.run(cycle(10_000))
    gc.collect()
    assert sys.getrefcount(marker) == before
