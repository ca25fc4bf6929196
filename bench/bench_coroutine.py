"""Awaiting a trivial C++ coroutine against awaiting a trivial `async def`."""

from __future__ import annotations

import os
import sys
from pathlib import Path

from _common import per_call_medians

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, os.environ.get("PYX_BENCHMOD_DIR", str(ROOT / "build" / "bridge-bench")))
import _pyx_testmod  # noqa: E402

AWAITS = 20_000


async def python_trivial():
    return None


async def await_python(n: int) -> None:
    for _ in range(n):
        await python_trivial()


async def await_native(n: int) -> None:
    trivial = _pyx_testmod.trivial
    for _ in range(n):
        await trivial()


def main() -> None:
    medians = per_call_medians({"python": await_python, "native": await_native}, AWAITS, 60)
    ratio = medians["native"] / medians["python"]
    print(
        f"await trivial coroutine, C++ / async def: {ratio:.2f}x "
        f"(C++ {medians['native'] * 1e9:.0f} ns, async def {medians['python'] * 1e9:.0f} ns per call+await; "
        f"target <= 1.3)"
    )


if __name__ == "__main__":
    main()
