"""Native functions against pure-Python equivalents of the same functions (bench/pure),
measured side by side in one run. A ratio above 1.0 means the C++ is slower."""

from __future__ import annotations

import asyncio
import timeit

from _common import interleaved_medians, per_call_sampler

import pure.functions as py_side
from vorn_sandbox import models, utils

SYNC_CALLS = 20_000
ASYNC_CALLS = 2_000
ROUNDS = 40
TARGET = 1.0


def per_call(statement, calls=SYNC_CALLS):
    return lambda: timeit.timeit(statement, number=calls) / calls


def sync_cases():
    status, py_status = models.ExecutionStatus.ERROR, py_side.ExecutionStatus.ERROR
    return {
        "ExecutionResult.create": (
            lambda: models.ExecutionResult.create(status, "print(1)", stdout="out", error="boom", duration_ms=3),
            lambda: py_side.ExecutionResult.create(py_status, "print(1)", stdout="out", error="boom", duration_ms=3),
        ),
        "SandboxFile.from_bytes": (
            lambda: models.SandboxFile.from_bytes(b"data", "a.txt"),
            lambda: py_side.SandboxFile.from_bytes(b"data", "a.txt"),
        ),
        "build_upload_path": (
            lambda: utils.build_upload_path("a.txt", None, "/files/"),
            lambda: py_side.build_upload_path("a.txt", None, "/files/"),
        ),
        "supports_automatic_install": (
            lambda: utils.supports_automatic_install("Python3"),
            lambda: py_side.supports_automatic_install("Python3"),
        ),
    }


async def attempt():
    return None


def never_transient(exc):
    return False


def retry_loop(create_with_retry):
    async def run(n):
        for _ in range(n):
            await create_with_retry(attempt, is_transient=never_transient)

    return run


def report(name, native, python):
    ratio = native / python
    flag = "" if ratio <= TARGET else "  ABOVE TARGET"
    print(f"{name}, C++ / Python: {ratio:.2f}x (C++ {native * 1e9:.0f} ns, Python {python * 1e9:.0f} ns; "
          f"target <= {TARGET}){flag}")


def main() -> None:
    for name, (native, python) in sync_cases().items():
        native(), python()  # warm up
        medians = interleaved_medians({"native": per_call(native), "python": per_call(python)}, ROUNDS)
        report(name, medians["native"], medians["python"])

    loop = asyncio.new_event_loop()
    try:
        native, python = retry_loop(utils.create_with_retry), retry_loop(py_side.create_with_retry)
        loop.run_until_complete(native(ASYNC_CALLS))
        loop.run_until_complete(python(ASYNC_CALLS))
        medians = interleaved_medians(
            {"native": per_call_sampler(loop, native, ASYNC_CALLS), "python": per_call_sampler(loop, python, ASYNC_CALLS)},
            ROUNDS * 2,
        )
    finally:
        loop.close()
    report("create_with_retry", medians["native"], medians["python"])


if __name__ == "__main__":
    main()
