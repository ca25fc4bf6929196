"""Optional tracing: ``vorn_sandbox.observability`` with the OpenTelemetry SDK, and without the API."""

import asyncio
import contextlib
import inspect
import subprocess
import sys
import textwrap
import time

import pytest
from opentelemetry import trace
from opentelemetry.trace import StatusCode


@pytest.fixture
def finished(exporter):
    exporter.clear()
    return exporter.get_finished_spans


@pytest.fixture(scope="module")
def obs(exporter):
    import vorn_sandbox.observability as module

    return module


@pytest.mark.parametrize("kind", ["sync", "async"])
async def test_one_span_with_static_and_body_attributes(obs, finished, kind):
    static = {
        obs.SpanAttr.BACKEND: "e2b",
        obs.SpanAttr.TEMPLATE_ID: None,
        "vorn_sandbox.zero": 0,
        "vorn_sandbox.empty": "",
        "vorn_sandbox.false": False,
    }
    body = {obs.SpanAttr.STATUS: "success", obs.SpanAttr.FILE_PATH: None, obs.SpanAttr.SANDBOX_ID: "sb-1"}

    def build(x, *, y):
        """Build it."""
        assert obs.set_current_span_attributes(**body) is None
        return (x, y)

    async def run(x, *, y):
        """Run it."""
        await asyncio.sleep(0)
        return build(x, y=y)

    func = build if kind == "sync" else run
    wrapped = obs.traced(obs.SpanName.EXECUTE_CODE, **static)(func)
    for attr in ("__name__", "__qualname__", "__doc__", "__module__"):
        assert getattr(wrapped, attr) == getattr(func, attr)
    assert wrapped.__wrapped__ is func
    assert inspect.iscoroutinefunction(wrapped) is (kind == "async")

    result = wrapped(1, y=2)
    if kind == "async":
        result = await result
    assert result == (1, 2)
    [span] = finished()
    assert span.name == "vorn_sandbox.execute_code"
    assert dict(span.attributes) == {
        "vorn_sandbox.backend": "e2b",
        "vorn_sandbox.zero": 0,
        "vorn_sandbox.empty": "",
        "vorn_sandbox.false": False,
        "vorn_sandbox.status": "success",
        "vorn_sandbox.sandbox_id": "sb-1",
    }
    assert span.status.status_code is not StatusCode.ERROR
    assert span.parent is None


async def test_span_opens_at_first_step_and_stays_current_across_suspensions(obs, finished):
    inside = []

    @obs.traced(obs.SpanName.CREATE)
    async def create():
        first = trace.get_current_span()
        await asyncio.sleep(0)
        await asyncio.sleep(0.01)
        inside.append((first, trace.get_current_span()))
        return "made"

    before = trace.get_current_span()
    coro = create()
    called_at = time.time_ns()
    await asyncio.sleep(0.01)
    assert finished() == ()
    assert await coro == "made"
    [span] = finished()
    first, later = inside[0]
    assert first is later
    assert first.get_span_context().span_id == span.context.span_id
    assert span.start_time >= called_at
    assert trace.get_current_span() is before

    never = create()
    never.close()
    assert len(finished()) == 1 and len(inside) == 1


@pytest.mark.parametrize("kind", ["sync", "async"])
async def test_failure_ends_the_span_as_an_error(obs, finished, kind):
    boom = ValueError("bad template")

    def fail():
        raise boom

    async def afail():
        await asyncio.sleep(0)
        raise boom

    wrapped = obs.traced(obs.SpanName.TEMPLATE_BUILD)(fail if kind == "sync" else afail)
    with pytest.raises(ValueError) as info:
        if kind == "sync":
            wrapped()
        else:
            await wrapped()
    assert info.value is boom
    [span] = finished()
    assert span.status.status_code is StatusCode.ERROR
    [event] = [e for e in span.events if e.name == "exception"]
    assert event.attributes["exception.type"] == "ValueError"
    assert event.attributes["exception.message"] == "bad template"


async def test_cancellation_passes_and_ends_the_span(obs, finished):
    started = asyncio.Event()

    @obs.traced(obs.SpanName.TERMINATE)
    async def hang():
        started.set()
        await asyncio.sleep(60)

    task = asyncio.create_task(hang())
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert [s.name for s in finished()] == ["vorn_sandbox.sandbox.terminate"]


async def test_spans_nest_along_the_calls(obs, finished):
    attr = obs.SpanAttr

    @obs.traced(obs.SpanName.TEMPLATE_BUILD)
    def build():
        obs.set_current_span_attributes(**{attr.TEMPLATE_ID: "tpl"})

    @obs.traced(obs.SpanName.UPLOAD)
    async def upload():
        await asyncio.sleep(0)
        obs.set_current_span_attributes(**{attr.SANDBOX_ID: "inner"})

    @obs.traced(obs.SpanName.EXECUTE_CODE)
    async def execute():
        await upload()
        obs.set_current_span_attributes(**{attr.STATUS: "success"})

    @obs.traced(obs.SpanName.CREATE)
    async def create():
        await asyncio.to_thread(build)
        await execute()

    await create()
    spans = {s.name: s for s in finished()}
    assert len(spans) == 4
    outer = spans["vorn_sandbox.sandbox.create"]
    parent_of = {name: s.parent.span_id if s.parent else None for name, s in spans.items()}
    assert parent_of == {
        "vorn_sandbox.sandbox.create": None,
        "vorn_sandbox.template.build": outer.context.span_id,
        "vorn_sandbox.execute_code": outer.context.span_id,
        "vorn_sandbox.file.upload": spans["vorn_sandbox.execute_code"].context.span_id,
    }
    assert {s.context.trace_id for s in spans.values()} == {outer.context.trace_id}
    assert dict(spans["vorn_sandbox.file.upload"].attributes) == {"vorn_sandbox.sandbox_id": "inner"}
    assert dict(spans["vorn_sandbox.execute_code"].attributes) == {"vorn_sandbox.status": "success"}
    assert dict(spans["vorn_sandbox.template.build"].attributes) == {"vorn_sandbox.template_id": "tpl"}
    assert dict(outer.attributes) == {}


async def test_concurrent_operations_each_have_their_own_span(obs, finished):
    @obs.traced(obs.SpanName.EXECUTE_COMMAND)
    async def command(sandbox_id, pause):
        await asyncio.sleep(pause)
        obs.set_current_span_attributes(**{obs.SpanAttr.SANDBOX_ID: sandbox_id})
        await asyncio.sleep(pause)

    await asyncio.gather(command("a", 0.02), command("b", 0.005))
    spans = finished()
    assert sorted(s.attributes["vorn_sandbox.sandbox_id"] for s in spans) == ["a", "b"]
    assert all(s.parent is None for s in spans)
    assert len({s.context.trace_id for s in spans}) == 2


async def test_attribute_setter_acts_on_whatever_span_is_current(obs, finished):
    assert obs.set_current_span_attributes(**{obs.SpanAttr.STATUS: "error"}) is None
    assert finished() == ()
    with trace.get_tracer("tests").start_as_current_span("manual"):
        obs.set_current_span_attributes(**{obs.SpanAttr.STATUS: "timeout", obs.SpanAttr.SANDBOX_ID: None})
    [span] = finished()
    assert dict(span.attributes) == {"vorn_sandbox.status": "timeout"}


async def test_callables_that_are_not_coroutine_functions_get_the_plain_wrapper(obs, finished):
    async def body():
        return trace.get_current_span().get_span_context().span_id

    @obs.traced(obs.SpanName.UPLOAD)
    def make():
        return body()

    @obs.traced(obs.SpanName.DOWNLOAD)
    async def chunks():
        yield trace.get_current_span().get_span_context().span_id

    assert not inspect.iscoroutinefunction(make)
    pending = make()
    [upload] = finished()  # ended before the awaitable runs
    assert await pending != upload.context.span_id

    gen = chunks()
    assert inspect.isasyncgen(gen)
    [download] = [s for s in finished() if s.name == "vorn_sandbox.file.download"]
    assert [item async for item in gen] != [download.context.span_id]


def test_start_span_yields_the_current_span_and_passes_failures(obs, finished, monkeypatch):
    attrs = {obs.SpanAttr.SANDBOX_ID: "sb-2", obs.SpanAttr.STATUS: None}
    with obs._start_span(obs.SpanName.UPLOAD, **attrs) as span:
        assert span is trace.get_current_span()
    boom = RuntimeError("upload failed")
    with pytest.raises(RuntimeError) as info, obs._start_span(obs.SpanName.DOWNLOAD):
        raise boom
    assert info.value is boom
    upload, download = finished()
    assert (upload.name, dict(upload.attributes)) == ("vorn_sandbox.file.upload", {"vorn_sandbox.sandbox_id": "sb-2"})
    assert download.status.status_code is StatusCode.ERROR

    monkeypatch.setattr(obs, "_TRACING_AVAILABLE", False)
    with obs._start_span(obs.SpanName.UPLOAD, **attrs) as span:
        assert span is None
    assert len(finished()) == 2


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("replaced", ["_start_span", "_apply_attrs", "_TRACING_AVAILABLE", "_tracer"])
async def test_decorated_calls_use_the_module_helpers_current_at_call_time(obs, finished, monkeypatch, kind, replaced):
    seen = []

    @contextlib.contextmanager
    def start_span(name, **attrs):
        seen.append((name, attrs))
        yield None

    def apply_attrs(span, attrs):
        seen.append(dict(attrs))
        attrs.clear()  # the caller's attributes must survive this

    def build(x):
        return x + 1

    async def run(x):
        await asyncio.sleep(0)
        return x + 1

    # Decorated before the helper is replaced: the wrapper must find the replacement.
    wrapped = obs.traced(obs.SpanName.EXECUTE_CODE, **{obs.SpanAttr.BACKEND: "e2b"})(build if kind == "sync" else run)
    replacement = {
        "_start_span": start_span,
        "_apply_attrs": apply_attrs,
        "_TRACING_AVAILABLE": False,
        "_tracer": trace.get_tracer("elsewhere"),
    }[replaced]
    monkeypatch.setattr(obs, replaced, replacement)

    for _ in range(2):
        result = wrapped(1)
        assert (await result if kind == "async" else result) == 2
    spans = finished()
    if replaced == "_start_span":
        assert spans == () and seen == [("vorn_sandbox.execute_code", {"vorn_sandbox.backend": "e2b"})] * 2
    elif replaced == "_apply_attrs":
        assert [dict(s.attributes) for s in spans] == [{}, {}] and seen == [{"vorn_sandbox.backend": "e2b"}] * 2
    elif replaced == "_TRACING_AVAILABLE":
        assert spans == ()
    else:
        assert [s.instrumentation_scope.name for s in spans] == ["elsewhere"] * 2
        assert [dict(s.attributes) for s in spans] == [{"vorn_sandbox.backend": "e2b"}] * 2


BLOCKER = """
    class Blocker:
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] == "opentelemetry":
                raise {0}("opentelemetry unusable here")
    sys.meta_path.insert(0, Blocker())
"""

BLOCKERS = {
    "absent": BLOCKER.format("ImportError"),
    "broken-import": BLOCKER.format("RuntimeError"),
    "broken-get-tracer": """
        import types
        def get_tracer(*args, **kwargs):
            raise RuntimeError("no tracer")
        api = types.ModuleType("opentelemetry")
        api.__path__ = []
        api.trace = types.SimpleNamespace(get_tracer=get_tracer)
        sys.modules["opentelemetry"], sys.modules["opentelemetry.trace"] = api, api.trace
    """,
}

WITHOUT_TRACING = """
    import asyncio, inspect
    import vorn_sandbox.observability as obs

    assert obs._TRACING_AVAILABLE is False
    assert obs.trace is None and obs._tracer is None

    @obs.traced(obs.SpanName.TEMPLATE_BUILD, **{obs.SpanAttr.BACKEND: "e2b"})
    def build(x):
        "Doc."
        return x * 2

    @obs.traced(obs.SpanName.EXECUTE_CODE)
    async def run(x):
        await asyncio.sleep(0)
        assert obs.set_current_span_attributes(**{obs.SpanAttr.STATUS: "success"}) is None
        return x + 1

    @obs.traced(obs.SpanName.TERMINATE)
    async def fail(exc):
        raise exc

    assert build(21) == 42 and build.__name__ == "build" and build.__doc__ == "Doc."
    assert inspect.iscoroutinefunction(run)
    assert asyncio.run(run(41)) == 42
    boom = KeyError("k")
    try:
        asyncio.run(fail(boom))
    except KeyError as caught:
        assert caught is boom
    else:
        raise AssertionError("exception swallowed")
    print("tracing off")
"""


@pytest.mark.parametrize("setup", list(BLOCKERS), ids=list(BLOCKERS))
def test_tracing_is_a_no_op_without_a_usable_api(tmp_path, setup):
    script = "import sys\n" + textwrap.dedent(BLOCKERS[setup]) + textwrap.dedent(WITHOUT_TRACING)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "tracing off"
