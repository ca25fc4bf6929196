"""Shared timing helpers: interleaved repetitions, medians, ratios."""

from __future__ import annotations

import asyncio
import contextlib
import statistics
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable, Iterator
from pathlib import Path


def interleaved_medians(samplers: dict[str, Callable[[], float]], repetitions: int) -> dict[str, float]:
    """Runs each sampler once per round, round after round, so machine noise hits all alike."""
    samples: dict[str, list[float]] = {name: [] for name in samplers}
    for _ in range(repetitions):
        for name, sample in samplers.items():
            samples[name].append(sample())
    return {name: statistics.median(values) for name, values in samples.items()}


def timed(function: Callable[[], object]) -> float:
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def per_call_sampler(loop, body: Callable[[int], Awaitable[None]], calls: int) -> Callable[[], float]:
    """Seconds per call of `body(calls)`, run to completion on `loop`."""

    def sample() -> float:
        start = loop.time()
        loop.run_until_complete(body(calls))
        return (loop.time() - start) / calls

    return sample


def per_call_medians(
    bodies: dict[str, Callable[[int], Awaitable[None]]],
    calls: int,
    rounds: int,
    *,
    warm_up: Callable[[int], Awaitable[None]] | None = None,
) -> dict[str, float]:
    """Median seconds per call of each `body(calls)`, interleaved round by round on a fresh event loop."""
    loop = asyncio.new_event_loop()
    try:
        if warm_up is not None:
            loop.run_until_complete(warm_up(calls))
        return interleaved_medians({name: per_call_sampler(loop, body, calls) for name, body in bodies.items()}, rounds)
    finally:
        loop.close()

def wall_clock_sampler(loop, make: Callable[[], Awaitable[object]]) -> Callable[[], float]:
    """Seconds that `make()` takes to run to completion on `loop`, by the wall clock."""

    def sample() -> float:
        start = time.perf_counter()
        loop.run_until_complete(make())
        return time.perf_counter() - start

    return sample


@contextlib.contextmanager
def local_workspace() -> Iterator[tuple[asyncio.AbstractEventLoop, object, Path]]:
    """An event loop, the test suite's local code-interpreter backend (a fresh interpreter per
    program) and an empty `workspace` folder in its temporary home. Whatever the backend
    started is killed on the way out."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "primitives"))
    from local_sandbox import LocalInterpreterSandbox

    loop = asyncio.new_event_loop()
    try:
        with tempfile.TemporaryDirectory() as home:
            workspace = Path(home) / "workspace"
            workspace.mkdir()
            sandbox = LocalInterpreterSandbox(Path(home))
            try:
                yield loop, sandbox, workspace
            finally:
                loop.run_until_complete(sandbox.kill_all())
    finally:
        loop.close()
