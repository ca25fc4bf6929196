"""What `create_with_retry` adds around a creation attempt that succeeds at once,
against awaiting the same attempt directly."""

from __future__ import annotations

import asyncio

from _common import interleaved_medians, per_call_sampler

from vorn_sandbox.utils import create_with_retry

CALLS = 2_000
ROUNDS = 200


async def attempt():
    return None


def never_transient(exc: BaseException) -> bool:
    return False


async def direct(n: int) -> None:
    for _ in range(n):
        await attempt()


async def with_retry(n: int) -> None:
    for _ in range(n):
        await create_with_retry(attempt, is_transient=never_transient)


def main() -> None:
    loop = asyncio.new_event_loop()
    try:

        loop.run_until_complete(with_retry(CALLS))  # warm up
        samplers = {"direct": per_call_sampler(loop, direct, CALLS), "retry": per_call_sampler(loop, with_retry, CALLS)}
        medians = interleaved_medians(samplers, ROUNDS)
    finally:
        loop.close()
    ratio = medians["retry"] / medians["direct"]
    print(
        f"create_with_retry overhead: {ratio:.2f}x "
        f"(direct {medians['direct'] * 1e6:.1f} us, with retry {medians['retry'] * 1e6:.1f} us)"
    )


if __name__ == "__main__":
    main()
