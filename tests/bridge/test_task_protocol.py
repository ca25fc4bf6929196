"""Native coroutines side by side with CPython's own: where the protocol is
observable from Python, both must behave alike."""

import asyncio
import gc
import inspect
import types
import warnings

import pytest


async def trivial():
    return None


async def add_later(a, b):
    await asyncio.sleep(0)
    return a + b


async def await_it(awaitable):
    return await awaitable


PYTHON = types.SimpleNamespace(trivial=trivial, add_later=add_later, await_it=await_it)


@pytest.fixture(params=["native", "python"])
def kind(request, testmod):
    return testmod if request.param == "native" else PYTHON


def pick(testmod, name):
    return testmod if name == "native" else PYTHON


class Parked:
    """Suspends its awaiter once. Its iterator is known in advance (for
    cr_await) and records the awaiter's state each time it runs."""

    def __init__(self):
        self.awaiter = None
        self.seen = []
        self.iterator = self._wait()

    def _note(self):
        if self.awaiter is not None:
            self.seen.append((inspect.getcoroutinestate(self.awaiter), self.awaiter.cr_await))

    def _wait(self):
        self._note()
        yield "parked"
        self._note()
        return "resumed"

    def __await__(self):
        return self.iterator


def suspended(kind):
    parked = Parked()
    coro = kind.await_it(parked)
    parked.awaiter = coro
    assert coro.send(None) == "parked"
    return coro, parked


def run_to_end(coro):
    with pytest.raises(StopIteration) as stop:
        while True:
            coro.send(None)
    return stop.value.value


# --- never awaited -------------------------------------------------------------------


def test_a_coroutine_never_awaited_warns(kind):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = kind.add_later(1, 2)
        qualname = coro.__qualname__
        del coro
        gc.collect()
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (RuntimeWarning, f"coroutine '{qualname}' was never awaited", __file__)
    ]


def test_each_coroutine_never_awaited_warns_even_in_recycled_memory(kind):
    # Coroutine objects are recycled; the mark of a finalizer that ran must
    # not silence the next coroutine made in the same memory. (A recorded
    # warning would keep its coroutine alive as its source, so only the
    # categories are kept.)
    categories = []
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = lambda message, category, *rest, **named: categories.append(category)
        for _ in range(3):
            coro = kind.add_later(1, 2)
            del coro
            gc.collect()
        assert asyncio.run(kind.add_later(1, 2)) == 3
        coro = kind.add_later(1, 2)
        del coro
        gc.collect()
    assert categories == [RuntimeWarning] * 4


ENDINGS = {
    "awaited": lambda coro: asyncio.run(coro),
    "closed before start": lambda coro: coro.close(),
    "thrown into before start": lambda coro: pytest.raises(KeyError, coro.throw, KeyError("x")),
    "closed while suspended": lambda coro: (coro.send(None), coro.close()),
}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_a_coroutine_that_ran_or_was_closed_does_not_warn(kind, ending):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        coro = kind.add_later(1, 2)
        ending(coro)
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == []


def test_never_awaited_under_warnings_as_errors(run_child):
    # The warning becomes an exception that nothing can catch, so it goes to
    # sys.unraisablehook, naming the coroutine.
    child = run_child(
        """
        import sys
        import _pyx_testmod as native
        async def add_later(a, b):
            return a + b
        def hook(unraisable):
            error = unraisable.exc_value
            print(type(error).__name__, error, repr(unraisable.object).split(" at ")[0], sep="|")
        sys.unraisablehook = hook
        native.add_later(1, 2)
        add_later(1, 2)
        """,
        "-W",
        "error",
    )
    assert child.stdout.splitlines() == [
        "RuntimeWarning|coroutine 'add_later' was never awaited|<coroutine object add_later"
    ] * 2, child.stderr


def test_never_awaited_at_interpreter_exit(run_child):
    # Left in a module global, it is collected while the interpreter shuts down.
    code = """
        import _pyx_testmod as native
        async def add_later(a, b):
            return a + b
        leftover = {}(1, 2)
        """
    python, native = (run_child(code.format(make)) for make in ("add_later", "native.add_later"))
    assert native.stderr == python.stderr
    assert "RuntimeWarning: coroutine 'add_later' was never awaited" in native.stderr


# --- protocol --------------------------------------------------------------------------


@pytest.mark.parametrize("inner", ["native", "python"])
@pytest.mark.parametrize("outer", ["native", "python"])
def test_a_second_awaiter_is_refused(testmod, inner, outer):
    coro, parked = suspended(pick(testmod, inner))
    second = pick(testmod, outer).await_it(coro)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second.send(None)
    assert run_to_end(coro) == "resumed"  # the first awaiter still has it


def finished(kind):
    coro = kind.trivial()
    run_to_end(coro)
    return coro


def closed(kind):
    coro = kind.trivial()
    coro.close()
    return coro


def thrown_into(kind):
    coro = kind.trivial()
    with pytest.raises(KeyError):
        coro.throw(KeyError())
    return coro


ENDED = {"after finishing": finished, "after close": closed, "after a throw": thrown_into}


@pytest.mark.parametrize("ended", ENDED.values(), ids=ENDED.keys())
def test_an_ended_coroutine_refuses_reuse(kind, ended):
    coro = ended(kind)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$") as caught:
        coro.throw(KeyError("late"))
    assert caught.value.__context__ is None
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.send(None)
    assert coro.close() is None


DEPRECATED = r"^the \(type, exc, tb\) signature of throw\(\) is deprecated, use the single-arg signature instead\.$"


@pytest.mark.parametrize("arguments", [(KeyError, KeyError("x")), (KeyError, KeyError("x"), None)])
def test_throw_with_several_arguments_is_deprecated(kind, arguments):
    coro, _ = suspended(kind)
    with pytest.warns(DeprecationWarning, match=DEPRECATED), pytest.raises(KeyError):
        coro.throw(*arguments)

    coro, _ = suspended(kind)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=DEPRECATED):
            coro.throw(*arguments)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED  # untouched
    coro.close()


@pytest.mark.parametrize(
    "arguments, message",
    [
        ((), "throw expected at least 1 argument, got 0"),
        ((KeyError, None, None, None), "throw expected at most 3 arguments, got 4"),
    ],
)
def test_throw_checks_its_argument_count(kind, arguments, message):
    coro = kind.trivial()
    with pytest.raises(TypeError) as caught:
        coro.throw(*arguments)
    coro.close()
    assert str(caught.value) == message


class Refusing(type):
    def __subclasscheck__(cls, other):
        raise ZeroDivisionError("no subclass check")


class Indifferent(type):
    def __instancecheck__(cls, other):
        raise ZeroDivisionError("no instance check")


@pytest.mark.parametrize("meta, expected", [(Refusing, ZeroDivisionError), (Indifferent, "wrapped")])
def test_throw_builds_the_exception_as_cpython_does(kind, meta, expected):
    odd = meta("Odd", (Exception,), {})
    coro, _ = suspended(kind)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(BaseException) as caught:
            coro.throw(odd, KeyError("k"))
    if expected == "wrapped":  # the value is not of the class, so it becomes its argument
        assert type(caught.value) is odd and [repr(arg) for arg in caught.value.args] == ["KeyError('k')"]
    else:
        assert type(caught.value) is expected and caught.value.__context__ is None


def test_state_is_readable_through_a_coroutines_life(kind):
    parked = Parked()
    coro = kind.await_it(parked)
    parked.awaiter = coro
    code = coro.cr_code
    assert (code.co_name, code.co_qualname) == (coro.__name__, coro.__qualname__)
    other = kind.await_it(None)
    assert other.cr_code is code  # one code object per function
    other.close()

    assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
    assert (coro.cr_running, coro.cr_suspended, coro.cr_await) == (False, False, None)
    assert coro.cr_frame.f_code is code and coro.cr_frame is coro.cr_frame

    coro.send(None)
    assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
    assert (coro.cr_running, coro.cr_suspended) == (False, True)
    assert coro.cr_await is parked.iterator

    assert run_to_end(coro) == "resumed"
    assert parked.seen == [(inspect.CORO_RUNNING, None)] * 2
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED
    assert (coro.cr_frame, coro.cr_await, coro.cr_suspended) == (None, None, False)
    assert coro.cr_code is code


def test_a_method_coroutine_is_named_by_its_qualified_name(testmod):
    class Square(testmod.Shape):
        def area(self):
            return 4

    coro = Square().scaled(2)
    assert (coro.__name__, coro.__qualname__) == ("scaled", "Shape.scaled")
    assert (coro.cr_code.co_name, coro.cr_code.co_qualname) == ("scaled", "Shape.scaled")
    assert repr(coro).startswith("<coroutine object Shape.scaled at ")
    assert asyncio.run(coro) == 8
