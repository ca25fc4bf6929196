"""Whether the cycle collector frees what a test built."""

import asyncio
import gc


def collected(make):
    """Runs `make()`, which builds a cycle and returns a weak reference into it."""
    ref = make()
    gc.collect()
    return ref() is None


def collected_after_loop(main):
    """As `collected`, for a coroutine function run on an event loop of its own,
    closed before the collection so that the loop holds nothing."""

    def make():
        loop = asyncio.new_event_loop()
        try:
            return loop.run_until_complete(main())
        finally:
            loop.close()

    return collected(make)
