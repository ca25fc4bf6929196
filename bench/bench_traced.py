"""A call through `traced` against an undecorated `async def` wrapper doing the same await.

Both wrap one trivial coroutine function; the OpenTelemetry API is loaded with no
tracer provider configured, as in most hosts, so spans are non-recording. For scale
the run also times the bare coroutine, the least any such decorator can cost (an
`async def` entering the tracer's `start_as_current_span` itself and setting the
one attribute), and the same decorator written in Python (a
`contextlib.contextmanager` around the tracer's context manager).
"""

from __future__ import annotations

import asyncio
import contextlib
import functools

from _common import interleaved_medians, per_call_sampler

from vorn_sandbox.observability import SpanAttr, SpanName, traced

CALLS = 5_000
ROUNDS = 40


async def noop(x):
    return x


async def plain_wrapper(*args, **kwargs):
    return await noop(*args, **kwargs)


def tracer():
    from opentelemetry import trace

    return trace.get_tracer("vorn_sandbox")


def span_only(name, key, value):
    own = tracer()

    async def wrapper(*args, **kwargs):
        with own.start_as_current_span(name) as span:
            span.set_attribute(key, value)
            return await noop(*args, **kwargs)

    return wrapper


def python_traced(name, **static_attrs):
    own = tracer()

    @contextlib.contextmanager
    def start_span(name, **attrs):
        with own.start_as_current_span(name) as span:
            for key, value in attrs.items():
                if value is not None:
                    span.set_attribute(key, value)
            yield span

    def decorator(func):
        @functools.wraps(func)
        async def async_wrapper(*args, **kwargs):
            with start_span(name, **static_attrs):
                return await func(*args, **kwargs)

        return async_wrapper

    return decorator


def caller(func):
    async def body(n: int) -> None:
        for _ in range(n):
            await func(1)

    return body


def main() -> None:
    statics = {SpanAttr.BACKEND: "e2b"}
    functions = {
        "bare": noop,
        "wrapper": plain_wrapper,
        "span only": span_only(SpanName.EXECUTE_CODE, SpanAttr.BACKEND, "e2b"),
        "traced": traced(SpanName.EXECUTE_CODE, **statics)(noop),
        "python": python_traced(SpanName.EXECUTE_CODE, **statics)(noop),
    }
    loop = asyncio.new_event_loop()
    try:
        samplers = {name: per_call_sampler(loop, caller(func), CALLS) for name, func in functions.items()}
        for sample in samplers.values():  # warm every path
            sample()
        medians = interleaved_medians(samplers, ROUNDS)
    finally:
        loop.close()
    us = {name: value * 1e6 for name, value in medians.items()}
    print(
        f"traced coroutine call / async def wrapper: {medians['traced'] / medians['wrapper']:.2f}x "
        f"(traced {us['traced']:.2f} us, wrapper {us['wrapper']:.2f} us, bare {us['bare']:.2f} us per call+await); "
        f"the tracer's own span alone {us['span only']:.2f} us, traced / that {medians['traced'] / medians['span only']:.2f}x; "
        f"Python decorator {us['python']:.2f} us, traced / that {medians['traced'] / medians['python']:.2f}x"
    )


if __name__ == "__main__":
    main()
