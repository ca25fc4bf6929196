"""What `create_with_retry` adds around a creation attempt that succeeds at once,
against awaiting the same attempt directly."""

from __future__ import annotations

from _common import per_call_medians

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
    medians = per_call_medians({"direct": direct, "retry": with_retry}, CALLS, ROUNDS, warm_up=with_retry)
    ratio = medians["retry"] / medians["direct"]
    print(
        f"create_with_retry overhead: {ratio:.2f}x "
        f"(direct {medians['direct'] * 1e6:.1f} us, with retry {medians['retry'] * 1e6:.1f} us)"
    )


if __name__ == "__main__":
    main()
