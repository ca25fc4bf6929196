"""Shared timing helpers: interleaved repetitions, medians, ratios."""

from __future__ import annotations

import statistics
import time
from collections.abc import Awaitable, Callable


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
