"""`pyx::AsyncFor` against a Python `async for` over the same iterables."""

import asyncio

import pytest


async def python_collect(iterable):
    return [item async for item in iterable]


async def agen():
    for value in range(3):
        await asyncio.sleep(0)
        yield value


class Countdown:
    """__anext__ ends by raising StopAsyncIteration itself, before any awaiting."""

    def __init__(self, n):
        self.n = n

    def __aiter__(self):
        return self

    def __anext__(self):
        if self.n == 0:
            raise StopAsyncIteration
        self.n -= 1
        return asyncio.sleep(0, result=self.n)


class StaticAiter:
    """Special methods written as static and class methods are looked up on the type."""

    items = [1, 2]

    @classmethod
    def __aiter__(cls):
        return Countdown(len(cls.items))


class InstanceOnly:
    def __init__(self):
        self.__aiter__ = lambda: Countdown(1)


class NoAnext:
    def __aiter__(self):
        return object()


class BadAnext:
    def __aiter__(self):
        return self

    def __anext__(self):
        return 42


class FailsMidway:
    def __init__(self, error):
        self.error = error
        self.sent = 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        await asyncio.sleep(0)
        if self.sent == 2:
            raise self.error
        self.sent += 1
        return self.sent


@pytest.mark.parametrize(
    "make",
    [agen, lambda: Countdown(3), StaticAiter, lambda: Countdown(0)],
    ids=["async-generator", "sync-stop", "classmethod-aiter", "empty"],
)
async def test_items_as_async_for(testmod, make):
    assert await testmod.collect_async(make()) == await python_collect(make())


@pytest.mark.parametrize(
    "make",
    [InstanceOnly, NoAnext, BadAnext, lambda: 42],
    ids=["instance-aiter", "no-anext", "non-awaitable-anext", "not-iterable"],
)
async def test_type_errors_as_async_for(testmod, make):
    with pytest.raises(TypeError) as expected:
        await python_collect(make())
    with pytest.raises(TypeError) as got:
        await testmod.collect_async(make())
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "make_error", [lambda: ValueError("midway"), StopIteration, asyncio.CancelledError], ids=["value", "stop", "cancel"]
)
async def test_other_exceptions_pass_as_async_for(testmod, make_error):
    # StopIteration out of a coroutine becomes a RuntimeError, in both loops alike.
    with pytest.raises(BaseException) as expected:
        await python_collect(FailsMidway(make_error()))
    error = make_error()
    with pytest.raises(BaseException) as got:
        await testmod.collect_async(FailsMidway(error))
    assert type(got.value) is type(expected.value)
    if type(got.value) is type(error):
        assert got.value is error
