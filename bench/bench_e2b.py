"""E2BSandbox against the E2B SDK called directly, on the local E2B service.

1. execute_code("pass") through E2BSandbox against run_code("pass") on the
   same sandbox's SDK handle, in interleaved rounds.
2. 50 sandboxes at once, each created, running one snippet and killed:
   through the backend against the same lifecycle made directly with the SDK.

The service runs in its own process, so that it does not share this
interpreter with the calls being measured.
"""

from __future__ import annotations

import asyncio
import statistics
import time

from e2b_local.process import serving

CALLS = 10
ROUNDS = 40
SANDBOXES = 50
CONCURRENT_ROUNDS = 6
SNIPPET = "sum(range(100))"


async def per_call(api_key: str) -> dict[str, float]:
    from vorn_sandbox.code_interpreter.e2b import E2BSandbox

    # Both paths talk to the same sandbox and kernel: the backend's own SDK
    # handle is the direct path, so only what the backend adds differs.
    backend = await E2BSandbox.create(api_key)
    direct = backend.sandbox
    try:

        async def run_direct() -> None:
            await direct.run_code("pass", language="python", timeout=30)

        async def run_backend() -> None:
            await backend.execute_code("pass")

        bodies = {"direct": run_direct, "backend": run_backend}
        for body in bodies.values():  # warm both paths
            for _ in range(5):
                await body()
        samples: dict[str, list[float]] = {name: [] for name in bodies}
        for round_number in range(ROUNDS):
            order = list(bodies.items()) if round_number % 2 == 0 else list(reversed(bodies.items()))
            for name, body in order:
                start = time.perf_counter()
                for _ in range(CALLS):
                    await body()
                samples[name].append((time.perf_counter() - start) / CALLS)
        medians = {name: statistics.median(values) for name, values in samples.items()}
        # The spread: quartiles of the rounds' own ratios.
        ratios = [backend / direct for backend, direct in zip(samples["backend"], samples["direct"])]
        quartiles = statistics.quantiles(ratios, n=4)
        return medians | {"ratio_q1": quartiles[0], "ratio_q3": quartiles[2]}
    finally:
        await backend.terminate()


async def lifecycle_direct() -> None:
    from e2b_code_interpreter import AsyncSandbox

    async def one() -> None:
        sandbox = await AsyncSandbox.create(timeout=600)
        try:
            await sandbox.run_code(SNIPPET, language="python", timeout=30)
        finally:
            await sandbox.kill()

    await asyncio.gather(*(one() for _ in range(SANDBOXES)))


async def lifecycle_backend(api_key: str) -> None:
    from vorn_sandbox.code_interpreter.e2b import E2BSandbox

    async def one() -> None:
        sandbox = await E2BSandbox.create(api_key)
        try:
            result = await sandbox.execute_code(SNIPPET)
            assert result.status.value == "success", result.error
        finally:
            await sandbox.terminate()

    await asyncio.gather(*(one() for _ in range(SANDBOXES)))


async def concurrent(api_key: str) -> dict[str, float]:
    bodies = {"direct": lifecycle_direct, "backend": lambda: lifecycle_backend(api_key)}
    samples: dict[str, list[float]] = {name: [] for name in bodies}
    for round_number in range(CONCURRENT_ROUNDS):
        # Alternate who goes first, so that neither always meets a warmer machine.
        order = list(bodies.items()) if round_number % 2 == 0 else list(reversed(bodies.items()))
        for name, body in order:
            start = time.perf_counter()
            await body()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def main() -> None:
    try:
        with serving() as env:
            api_key = env["E2B_API_KEY"]
            calls = asyncio.run(per_call(api_key))
            lifecycles = asyncio.run(concurrent(api_key))
    finally:
        # The SDK's HTTP client runs threads of its own that notice the closed
        # connections; they must do so while this interpreter is alive, since a
        # thread entering it during shutdown aborts the process.
        time.sleep(0.5)
    print(
        f"E2B execute_code('pass'): {calls['backend'] / calls['direct']:.3f}x the SDK's run_code "
        f"(direct {calls['direct'] * 1e3:.2f} ms, backend {calls['backend'] * 1e3:.2f} ms; rounds' ratios "
        f"{calls['ratio_q1']:.3f}-{calls['ratio_q3']:.3f} between quartiles, {ROUNDS} rounds of {CALLS}; "
        f"target <= 1.05)"
    )
    print(
        f"E2B {SANDBOXES} concurrent sandboxes (create, one snippet, kill): "
        f"{lifecycles['backend'] / lifecycles['direct']:.3f}x the SDK "
        f"(direct {lifecycles['direct']:.2f} s, backend {lifecycles['backend']:.2f} s; target <= 1.05)"
    )


if __name__ == "__main__":
    main()
