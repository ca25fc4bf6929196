"""Tracing of native coroutine functions, the wrapper's identity and the vocabularies,
against the real OpenTelemetry SDK."""

import asyncio
import inspect
import os
import sys
from pathlib import Path

import pytest
from opentelemetry import trace
from opentelemetry.trace import StatusCode

from vorn_sandbox.observability import SpanAttr, SpanName, set_current_span_attributes, traced

BACKEND = SpanAttr.BACKEND

# Before 3.12 inspect cannot see the coroutine mark of native functions; asyncio's test can.
iscoroutinefunction = inspect.iscoroutinefunction if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction


@pytest.fixture
def spans(exporter):
    exporter.clear()
    yield exporter
    exporter.clear()


@pytest.fixture(scope="module")
def testmod():
    directory = os.environ.get("PYX_TESTMOD_DIR") or str(Path(__file__).resolve().parents[1] / "build" / "bridge-tests")
    if directory not in sys.path:
        sys.path.insert(0, directory)
    return pytest.importorskip("_pyx_testmod", reason="bridge test module not built (make bridge-tests)")


def only(exporter, name):
    found = [span for span in exporter.get_finished_spans() if span.name == name]
    assert len(found) == 1, [span.name for span in exporter.get_finished_spans()]
    return found[0]


def current_name():
    return getattr(trace.get_current_span(), "name", None)


def test_vocabularies_in_declaration_order():
    def members(cls):
        return [(k, v) for k, v in vars(cls).items() if not k.startswith("__")]

    assert members(SpanName) == [
        ("TEMPLATE_BUILD", "vorn_sandbox.template.build"), ("CREATE", "vorn_sandbox.sandbox.create"),
        ("EXECUTE_CODE", "vorn_sandbox.execute_code"), ("EXECUTE_COMMAND", "vorn_sandbox.execute_command"),
        ("UPLOAD", "vorn_sandbox.file.upload"), ("DOWNLOAD", "vorn_sandbox.file.download"),
        ("TERMINATE", "vorn_sandbox.sandbox.terminate"),
    ]
    assert members(SpanAttr) == [
        ("BACKEND", "vorn_sandbox.backend"), ("SANDBOX_ID", "vorn_sandbox.sandbox_id"),
        ("TEMPLATE_ID", "vorn_sandbox.template_id"), ("FILE_PATH", "vorn_sandbox.file_path"),
        ("STATUS", "vorn_sandbox.status"),
    ]
    assert SpanName.__bases__ == (object,) and SpanAttr.__bases__ == (object,)


async def test_wrapper_keeps_identity_and_binds_as_method(spans):
    async def execute_code(self, code: str, *, timeout: float = 1.0) -> str:
        """Run code."""
        return code

    def build(spec, force=False):
        """Build it."""
        return spec

    async def stream():
        yield current_name()

    wrapped_async = traced(SpanName.EXECUTE_CODE)(execute_code)
    wrapped_sync = traced(SpanName.TEMPLATE_BUILD)(build)
    for wrapper, func in ((wrapped_async, execute_code), (wrapped_sync, build)):
        for attr in ("__name__", "__qualname__", "__doc__", "__module__"):
            assert getattr(wrapper, attr) == getattr(func, attr)
        assert wrapper.__wrapped__ is func
        assert inspect.signature(wrapper) == inspect.signature(func)
    assert iscoroutinefunction(wrapped_async)
    assert not iscoroutinefunction(wrapped_sync)

    # An async generator function gets the plain wrapper: its span covers the call only.
    wrapped_stream = traced(SpanName.DOWNLOAD)(stream)
    assert not iscoroutinefunction(wrapped_stream)
    iterator = wrapped_stream()
    assert only(spans, SpanName.DOWNLOAD).end_time is not None
    assert [item async for item in iterator] == [None]

    class Sandbox:
        execute = wrapped_async

        @classmethod
        @traced(SpanName.CREATE)
        async def create(cls):
            return cls

    assert await Sandbox().execute("print(1)", timeout=2) == "print(1)"
    assert await Sandbox.create() is Sandbox
    assert only(spans, SpanName.CREATE).parent is None


async def test_native_coroutine_functions(spans, testmod):
    add = traced(SpanName.EXECUTE_CODE, **{BACKEND: "native"})(testmod.add_later)
    assert iscoroutinefunction(add)
    assert add.__name__ == "add_later" and add.__wrapped__ is testmod.add_later
    assert inspect.signature(add) == inspect.signature(testmod.add_later)
    assert await add(2, b=3) == 5
    assert only(spans, SpanName.EXECUTE_CODE).attributes[BACKEND] == "native"

    # The span stays current while the native coroutine awaits Python code across suspensions.
    async def probe():
        await asyncio.sleep(0)
        return current_name()

    assert await traced(SpanName.UPLOAD)(testmod.await_it)(probe()) == SpanName.UPLOAD

    error = ValueError("native failure")
    with pytest.raises(ValueError) as caught:
        await traced(SpanName.TERMINATE)(testmod.fail_later)(error)
    assert caught.value is error
    assert only(spans, SpanName.TERMINATE).status.status_code is StatusCode.ERROR

    # A native coroutine awaiting a traced one: still parent and child.
    inner = traced(SpanName.UPLOAD)(testmod.add_later)
    outer = traced(SpanName.CREATE)(testmod.await_it)
    spans.clear()
    assert await outer(inner(1, 1)) == 2
    assert only(spans, SpanName.UPLOAD).parent.span_id == only(spans, SpanName.CREATE).context.span_id


def test_set_current_span_attributes_outside_a_span_does_nothing(spans):
    assert set_current_span_attributes(**{SpanAttr.STATUS: "error"}) is None
    assert spans.get_finished_spans() == ()
