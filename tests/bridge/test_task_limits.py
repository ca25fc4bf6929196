"""Failure modes that would take the interpreter down: each runs in a child process."""

import subprocess

import pytest

FIRST_USES = {
    "coroutine type": "import _pyx_testmod as m\nfirst = lambda: m.trivial().close()",
    "asyncio statics": "import _pyx_testmod as m\nfirst = lambda: m.is_cancellation(KeyError())",
    "package coroutine": (
        "import vorn_sandbox.utils as u\nfirst = lambda: u.create_with_retry(None, is_transient=None).close()"
    ),
}

RACE = """
import sys, threading
sys.setswitchinterval(1e-6)
barrier = threading.Barrier(8)
def work():
    barrier.wait()
    first()
threads = [threading.Thread(target=work) for _ in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print("done")
"""


@pytest.mark.parametrize("first_use", FIRST_USES.values(), ids=FIRST_USES.keys())
def test_threads_racing_to_the_first_coroutine_do_not_deadlock(run_child, first_use):
    # The bridge's lazily built objects run Python code while being built,
    # which lets another thread take the GIL in the middle; eight threads
    # released at once by a barrier, switching as often as possible, hung
    # most runs when those objects sat behind a C++ initialisation guard.
    for attempt in range(15):
        try:
            child = run_child(first_use + RACE, timeout=10)
        except subprocess.TimeoutExpired:
            pytest.fail(f"threads deadlocked on run {attempt}")
        assert child.returncode == 0 and child.stdout == "done\n", child.stderr


def test_dropping_a_long_chain_of_coroutines(run_child):
    # Each coroutine holds the next as an argument, so freeing the first frees
    # them all, one inside the other.
    child = run_child(
        """
        import warnings
        import _pyx_testmod as m
        warnings.simplefilter("ignore")  # none of them was awaited
        chain = None
        for _ in range(100_000):
            chain = m.hold(chain, None)
        del chain
        print("dropped")
        """
    )
    assert (child.returncode, child.stdout) == (0, "dropped\n"), child.stderr


def test_deep_await_chains_end_in_recursion_error(run_child):
    child = run_child(
        """
        import asyncio, warnings
        import _pyx_testmod as m
        warnings.simplefilter("ignore")  # the links below the limit are never awaited
        def chain(depth):
            coro = m.add_later(1, 2)
            for _ in range(depth):
                coro = m.await_it(coro)
            return coro
        print(asyncio.run(chain(1_000)))
        try:
            asyncio.run(chain(25_000))
        except RecursionError as error:
            print(error)
        print(asyncio.run(chain(1_000)))
        """
    )
    assert child.stdout.splitlines() == [
        "3",
        "maximum recursion depth exceeded while awaiting a native coroutine",
        "3",
    ], child.stderr
    assert child.returncode == 0


def test_a_deep_suspended_chain_can_be_cancelled_and_dropped(run_child):
    # throw() and close() travel down the whole chain as send() does.
    child = run_child(
        """
        import asyncio, gc
        import _pyx_testmod as m
        def chain(awaitable, depth=1_000):
            coro = m.await_it(awaitable)
            for _ in range(depth):
                coro = m.await_it(coro)
            return coro
        async def main():
            loop = asyncio.get_running_loop()
            coro = chain(loop.create_future())
            coro.send(None)
            del coro
            gc.collect()
            task = asyncio.ensure_future(chain(loop.create_future()))
            await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                print("cancelled")
        asyncio.run(main())
        """
    )
    assert (child.returncode, child.stdout, child.stderr) == (0, "cancelled\n", "")
