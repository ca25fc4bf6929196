"""The typed body API: named parameters, keyword calls, outcomes, async with, typed edges."""

import asyncio
import contextlib
import datetime
import inspect
import types

import pytest


def test_parameter_struct_binds_like_python(testmod):
    assert testmod.named(1) == (1, 2, None, {})
    assert testmod.named(1, 3, c=4, z=5) == (1, 3, 4, {"z": 5})
    assert testmod.named(b=7, a=6) == (6, 7, None, {})
    sig = inspect.signature(testmod.named)
    assert str(sig) == "(a, b=2, *, c: int | None = None, **rest)"
    with pytest.raises(TypeError, match=r"named\(\) missing 1 required positional argument: 'a'"):
        testmod.named()
    with pytest.raises(TypeError, match=r"named\(\) takes 2 positional arguments but 3 were given"):
        testmod.named(1, 2, 3)
    with pytest.raises(TypeError, match=r"named\(\) got multiple values for argument 'a'"):
        testmod.named(1, a=2)


def test_keyword_calls_and_method_calls(testmod):
    seen = []

    class Target:
        def method(self, *args, **kwargs):
            seen.append((args, kwargs))
            return "m"

    def function(*args, **kwargs):
        return args, kwargs

    target = Target()
    first, second = testmod.keyword_call(function, target)
    assert first == ((target,), {"flag": True, "name": "n"})
    assert second == "m" and seen == [((1,), {"k": 2})]
    with pytest.raises(TypeError, match="unexpected keyword argument 'flag'"):
        testmod.keyword_call(lambda x: x, target)


async def test_cleanup_is_awaited_after_a_failure_and_the_failure_goes_on():
    import _pyx_testmod as testmod

    log = []
    error = KeyError("boom")

    async def failing():
        await asyncio.sleep(0)
        raise error

    async def cleanup():
        await asyncio.sleep(0)
        log.append("cleaned")

    with pytest.raises(KeyError) as info:
        await testmod.cleanup_after_failure(failing, cleanup)
    assert info.value is error and log == ["cleaned"]

    async def succeeding():
        return 5

    assert await testmod.cleanup_after_failure(succeeding, cleanup) == 5 and log == ["cleaned"]

    def raises_on_call():
        raise ValueError("at call")

    with pytest.raises(ValueError, match="at call"):
        await testmod.cleanup_after_failure(raises_on_call, cleanup)
    assert log == ["cleaned", "cleaned"]


class Manager:
    def __init__(self, suppress=False):
        self.suppress = suppress
        self.log = []

    async def __aenter__(self):
        await asyncio.sleep(0)
        self.log.append("enter")
        return "value"

    async def __aexit__(self, kind, error, traceback):
        await asyncio.sleep(0)
        self.log.append(("exit", kind, error))
        return self.suppress


async def test_async_with_matches_the_statement(testmod):
    manager = Manager()

    async def body(value):
        return value + "!"

    assert await testmod.async_with_probe(manager, body) == "value!"
    assert manager.log == ["enter", ("exit", None, None)]

    error = RuntimeError("in body")

    async def failing(value):
        raise error

    for suppress, expected in ((False, pytest.raises(RuntimeError)), (True, contextlib.nullcontext())):
        manager = Manager(suppress)
        with expected:
            assert await testmod.async_with_probe(manager, failing) is None
        assert manager.log == ["enter", ("exit", RuntimeError, error)]

    with pytest.raises(TypeError, match="does not support the asynchronous context manager protocol"):
        await testmod.async_with_probe(object(), body)


def test_typed_edges_convert_once_and_name_what_is_wrong(testmod):
    source = types.SimpleNamespace(text="t", count=4, limit=2, flag=True, items=["a"], extra={"note": "n"})
    assert testmod.read_edge(source) == {"text": "t!", "count": 5, "limit": 2.0, "flag": False, "items": ["a", "n"]}
    source.limit, source.extra = datetime.timedelta(milliseconds=1500), {}
    assert testmod.read_edge(source)["limit"] == 1.5 and testmod.read_edge(source)["items"] == ["a", "none"]
    source.limit = None
    assert testmod.read_edge(source)["limit"] is None
    for field, value, message in [
        ("text", 3, "text: expected str, got int"),
        ("count", "4", "count: expected int, got str"),
        ("limit", "soon", r"limit: expected float \| timedelta \| None, got str"),
        ("flag", 1, "flag: expected bool, got int"),
        ("items", ["a", 2], r"items: expected list\[str\], got list"),
        ("extra", {"note": 5}, "note: expected str, got int"),
    ]:
        bad = types.SimpleNamespace(**{**vars(source), field: value})
        with pytest.raises(TypeError, match=message):
            testmod.read_edge(bad)
