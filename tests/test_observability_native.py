"""Tracing against the real OpenTelemetry SDK: when spans open and close, how they nest,
what they record, native coroutine functions, and the module without the API."""

import asyncio
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from opentelemetry import trace
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import StatusCode

from vorn_sandbox.observability import SpanAttr, SpanName, set_current_span_attributes, traced

BACKEND = SpanAttr.BACKEND

# Before 3.12 inspect cannot see the coroutine mark of native functions; asyncio's test can.
iscoroutinefunction = inspect.iscoroutinefunction if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction


@pytest.fixture(scope="module")
def exporter():
    # The global provider can be set once per process: join one that another test
    # module already installed instead of losing our spans to it.
    provider = trace.get_tracer_provider()
    if not isinstance(provider, TracerProvider):
        trace.set_tracer_provider(TracerProvider())
        provider = trace.get_tracer_provider()
    memory = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(memory))
    return memory


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


async def test_span_opens_at_first_step_and_stays_current_across_suspensions(spans):
    seen = []

    @traced(SpanName.EXECUTE_CODE, **{BACKEND: "e2b", SpanAttr.SANDBOX_ID: None, "zero": 0, "empty": "", "no": False})
    async def execute(x):
        for _ in range(3):
            seen.append(current_name())
            await asyncio.sleep(0)
        set_current_span_attributes(**{SpanAttr.STATUS: "success", SpanAttr.FILE_PATH: None})
        return x * 2

    coro = execute(21)  # created outside any span: the span must not open here
    assert spans.get_finished_spans() == ()
    with trace.get_tracer("tests").start_as_current_span("outer") as outer:
        assert await coro == 42
        assert trace.get_current_span() is outer
    span = only(spans, SpanName.EXECUTE_CODE)
    assert seen == [SpanName.EXECUTE_CODE] * 3
    assert span.parent.span_id == outer.get_span_context().span_id
    assert dict(span.attributes) == {BACKEND: "e2b", "zero": 0, "empty": "", "no": False,
                                     SpanAttr.STATUS: "success"}
    assert span.status.status_code is StatusCode.UNSET

    # An unawaited call opens nothing.
    execute(1).close()
    assert len(spans.get_finished_spans()) == 2


async def test_concurrent_tasks_each_keep_their_own_span(spans):
    @traced(SpanName.EXECUTE_COMMAND)
    async def command(tag):
        set_current_span_attributes(tag=tag)
        for _ in range(3):
            await asyncio.sleep(0)
        return trace.get_current_span().attributes["tag"]

    assert await asyncio.gather(*(command(i) for i in range(4))) == [0, 1, 2, 3]
    assert len({span.context.span_id for span in spans.get_finished_spans()}) == 4


async def test_spans_nest_along_calls_and_threads(spans):
    @traced(SpanName.TEMPLATE_BUILD, **{BACKEND: "e2b"})
    def build():
        set_current_span_attributes(**{SpanAttr.TEMPLATE_ID: "tpl"})
        return "built"

    @traced(SpanName.UPLOAD)
    async def upload():
        await asyncio.sleep(0)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: "inner"})

    @traced(SpanName.CREATE)
    async def create():
        await upload()
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: "outer"})
        return await asyncio.to_thread(build)

    assert await create() == "built"
    outer, inner, worker = (only(spans, n) for n in (SpanName.CREATE, SpanName.UPLOAD, SpanName.TEMPLATE_BUILD))
    assert outer.parent is None
    assert inner.parent.span_id == outer.context.span_id
    assert worker.parent.span_id == outer.context.span_id
    assert inner.attributes[SpanAttr.SANDBOX_ID] == "inner"
    assert outer.attributes[SpanAttr.SANDBOX_ID] == "outer"
    assert dict(worker.attributes) == {BACKEND: "e2b", SpanAttr.TEMPLATE_ID: "tpl"}


async def test_errors_pass_through_unchanged_and_mark_the_span(spans):
    error = KeyError("boom")

    @traced(SpanName.TERMINATE)
    async def terminate():
        await asyncio.sleep(0)
        raise error

    @traced(SpanName.TEMPLATE_BUILD)
    def build():
        raise error

    for call, name in ((terminate, SpanName.TERMINATE), (build, SpanName.TEMPLATE_BUILD)):
        with pytest.raises(KeyError) as caught:
            result = call()
            if inspect.isawaitable(result):
                await result
        assert caught.value is error
        span = only(spans, name)
        assert span.end_time is not None
        assert span.status.status_code is StatusCode.ERROR
        assert [event.name for event in span.events] == ["exception"]
        assert not trace.get_current_span().is_recording()


async def test_cancellation_propagates_and_ends_the_span(spans):
    started = asyncio.Event()

    @traced(SpanName.EXECUTE_CODE)
    async def slow():
        started.set()
        await asyncio.sleep(30)

    task = asyncio.create_task(slow())
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled()
    assert only(spans, SpanName.EXECUTE_CODE).end_time is not None


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


_WITHOUT_API = textwrap.dedent(
    """
    import asyncio, importlib.abc, inspect, sys, types

    if sys.argv[1] == "missing":
        class Block(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "opentelemetry":
                    raise ImportError(name)
        sys.meta_path.insert(0, Block())
    else:  # importable, but failing while the tracer is taken; nothing else may be touched
        def broken(*args, **kwargs):
            raise RuntimeError("broken API")
        api = types.ModuleType("opentelemetry")
        api.trace = types.ModuleType("opentelemetry.trace")
        api.trace.get_tracer = api.trace.get_current_span = broken
        sys.modules.update({"opentelemetry": api, "opentelemetry.trace": api.trace})

    import vorn_sandbox.observability as obs
    iscoroutinefunction = inspect.iscoroutinefunction if sys.version_info >= (3, 12) else asyncio.iscoroutinefunction
    assert obs._TRACING_AVAILABLE is False and obs.trace is None and obs._tracer is None

    @obs.traced(obs.SpanName.EXECUTE_CODE, **{obs.SpanAttr.BACKEND: "e2b"})
    async def execute(x):
        await asyncio.sleep(0)
        return x + 1

    @obs.traced(obs.SpanName.TEMPLATE_BUILD)
    def build(x):
        return x * 2

    error = KeyError("k")

    @obs.traced(obs.SpanName.TERMINATE)
    async def fail():
        raise error

    assert iscoroutinefunction(execute) and execute.__name__ == "execute"
    assert asyncio.run(execute(1)) == 2 and build(3) == 6
    assert obs.set_current_span_attributes(**{obs.SpanAttr.STATUS: "success"}) is None
    with obs._start_span("x", a=1) as span:
        assert span is None
    try:
        asyncio.run(fail())
    except KeyError as caught:
        assert caught is error
    else:
        raise AssertionError("no error")
    print("ok")
    """
)


@pytest.mark.parametrize("mode", ["missing", "broken"])
def test_without_a_usable_api_everything_still_works(mode):
    result = subprocess.run([sys.executable, "-c", _WITHOUT_API, mode], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
