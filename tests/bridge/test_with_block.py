"""`pyx::WithBlock` against a Python `with` over the same managers."""

import sys
import threading

import pytest


def python_with(manager, error=None):
    with manager as value:
        if error is not None:
            raise error
        return value
    return None  # reached only when __exit__ suppressed the error


class Recording:
    """Records how its methods were called; suppresses when told to."""

    def __init__(self, suppress=False):
        self.calls = []
        self.suppress = suppress

    def __enter__(self):
        self.calls.append(("enter",))
        return "entered"

    def __exit__(self, kind, error, traceback):
        # Inside __exit__ the error is the one being handled, as in a `with`.
        self.calls.append(("exit", kind, error, sys.exc_info()[1] is error, traceback is not None or error is None))
        return self.suppress


class Static:
    log = []

    @staticmethod
    def __enter__():
        Static.log.append("enter")
        return "static"

    @staticmethod
    def __exit__(*args):
        Static.log.append(("exit", len(args)))


class ClassLevel:
    log = []

    @classmethod
    def __enter__(cls):
        cls.log.append(("enter", cls.__name__))
        return cls

    @classmethod
    def __exit__(cls, *args):
        cls.log.append(("exit", len(args)))


class InstanceOnly:
    def __init__(self):
        self.__enter__ = lambda: 1
        self.__exit__ = lambda *args: None


class EnterOnly:
    def __enter__(self):
        return self


@pytest.mark.parametrize("suppress", [False, True])
@pytest.mark.parametrize("error", [None, ValueError("inside")], ids=["normal", "raising"])
def test_calls_as_with(testmod, suppress, error):
    expected, got = Recording(suppress), Recording(suppress)
    outcomes = []
    for run, manager in ((python_with, expected), (testmod.with_manager, got)):
        try:
            outcomes.append(("returned", run(manager, error)))
        except ValueError as raised:
            outcomes.append(("raised", raised))
    assert outcomes[0] == outcomes[1]
    assert got.calls == expected.calls


@pytest.mark.parametrize("make", [Static, ClassLevel, threading.Lock], ids=["staticmethod", "classmethod", "builtin"])
def test_special_methods_found_as_with(testmod, make):
    expected_manager, got_manager = make(), make()
    log = getattr(make, "log", None)
    expected = python_with(expected_manager)
    expected_log = list(log) if log is not None else None
    if log is not None:
        log.clear()
    got = testmod.with_manager(got_manager)
    assert type(got) is type(expected) and (got == expected or got is got_manager)
    if log is not None:
        assert log == expected_log


@pytest.mark.parametrize("make", [InstanceOnly, EnterOnly, object], ids=["instance", "enter-only", "none"])
def test_not_a_manager_as_with(testmod, make):
    with pytest.raises(TypeError) as expected:
        python_with(make())
    with pytest.raises(TypeError) as got:
        testmod.with_manager(make())
    assert str(got.value) == str(expected.value)
