"""Python classes with native bodies: ABCs, signatures, enums, exceptions, models."""

import asyncio
import inspect
import pickle

import pydantic
import pytest


def test_abstract_members_and_binding(testmod):
    with pytest.raises(TypeError, match="abstract"):
        testmod.Shape()

    class Square(testmod.Shape):
        def area(self):
            return 4

    square = Square(anything=1)
    assert square.area() == 4
    assert asyncio.run(square.scaled(2)) == 8
    assert Square.kind() == "Square"
    assert square.unit() == 1 and square.sides == 0
    assert testmod.Shape.__abstractmethods__ == frozenset({"area"})
    with pytest.raises(TypeError, match=r"Shape.__init__\(\) takes 1 positional argument but 2 were given"):
        Square(1)


def test_signatures_and_coroutine_marks(testmod):
    sig = inspect.signature(testmod.Shape.scaled)
    assert str(sig) == "(self, factor, *, timeout=10.0)"
    assert str(inspect.signature(testmod.Shape.kind)) == "()"
    assert str(inspect.signature(testmod.signature_probe)) == "(a, b=2, *, c=None, **kwargs)"
    assert inspect.iscoroutinefunction(testmod.Shape.scaled)
    assert inspect.iscoroutinefunction(testmod.add_later)
    assert not inspect.iscoroutinefunction(testmod.signature_probe)
    assert testmod.Shape.scaled.__qualname__ == "Shape.scaled"
    assert testmod.Shape.scaled.__module__ == "_pyx_testmod"


def test_argument_binding_follows_python_rules(testmod):
    probe = testmod.signature_probe
    assert probe(1) == (1, 2, None, {})
    assert probe(1, 3, c=4, d=5) == (1, 3, 4, {"d": 5})
    assert probe(b=1, a=0) == (0, 1, None, {})
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'a'"):
        probe()
    with pytest.raises(TypeError, match="got multiple values for argument 'a'"):
        probe(1, a=2)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        probe(1, 2, 3)


def test_enum_and_exception_pickle(testmod):
    assert testmod.Color.RED == "red" and testmod.Color("green") is testmod.Color.GREEN
    assert pickle.loads(pickle.dumps(testmod.Color.RED)) is testmod.Color.RED
    error = testmod.ProbeError("bad", 21)
    assert isinstance(error, RuntimeError) and str(error) == "bad" and error.doubled == 42
    clone = pickle.loads(pickle.dumps(error))
    assert type(clone) is testmod.ProbeError and clone.args == ("bad",) and clone.code == 21


def test_pydantic_model_with_native_validator(testmod):
    point = testmod.Point(x=1)
    assert (point.x, point.y) == (1, 0)
    assert list(testmod.Point.model_fields) == ["x", "y"]
    with pytest.raises(pydantic.ValidationError, match="x must not be negative"):
        testmod.Point(x=-1)
    with pytest.raises(pydantic.ValidationError):
        point.x = 3  # frozen
