import pytest


@pytest.fixture(scope="module")
def exporter():
    """Spans finished while the test module runs, kept in memory."""
    trace = pytest.importorskip("opentelemetry.trace")
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    # The global provider can be set once per process; join an SDK provider that is already installed.
    if not isinstance(trace.get_tracer_provider(), TracerProvider):
        trace.set_tracer_provider(TracerProvider())
    provider = trace.get_tracer_provider()
    if not isinstance(provider, TracerProvider):
        pytest.skip("a non-SDK tracer provider is installed globally")
    exported = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exported))
    yield exported
    exported.shutdown()
