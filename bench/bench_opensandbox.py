"""execute_code("pass") through OpenSandbox against the same run made directly with the SDK.

Both run on one sandbox of the local OpenSandbox server, in one kernel, one
call of each in turn (the order swapped every pair, so load on a shared
machine hits both alike); the ratio is the median backend call over the
median SDK call (target: at most 1.05).
"""

from __future__ import annotations

import asyncio
import sys

import statistics
import time

TARGET = 1.05
PAIRS = 400


def main() -> int:
    try:
        from opensandbox_local import running_server
        from vorn_sandbox.code_interpreter.opensandbox import OpenSandbox
    except ImportError as missing:
        print(f"opensandbox: skipped ({missing})")
        return 0

    loop = asyncio.new_event_loop()
    with running_server() as server:
        box = loop.run_until_complete(
            OpenSandbox.create(domain=server.domain, protocol="http", image="local:base"))
        try:
            interpreter = box._interpreter

            async def through_backend() -> None:
                await box.execute_code("pass")

            async def direct() -> None:
                # What the backend asks of the SDK for one run: the code, the
                # language, the same handlers and the same 30-second limit.
                from opensandbox.models.execd import ExecutionHandlers

                async def on_init(message) -> None:
                    pass

                handlers = ExecutionHandlers(on_init=on_init, on_stdout=None, on_stderr=None)
                await asyncio.wait_for(interpreter.codes.run("pass", language="python", handlers=handlers),
                                       timeout=30)

            async def pairs() -> dict[str, list[float]]:
                samples: dict[str, list[float]] = {"sdk": [], "backend": []}
                for index in range(PAIRS):
                    order = [("sdk", direct), ("backend", through_backend)]
                    for name, call in order if index % 2 else reversed(order):
                        start = time.perf_counter()
                        await call()
                        samples[name].append(time.perf_counter() - start)
                return samples

            for _ in range(10):  # warm both paths
                loop.run_until_complete(direct())
                loop.run_until_complete(through_backend())
            samples = loop.run_until_complete(pairs())
            medians = {name: statistics.median(values) for name, values in samples.items()}
        finally:
            loop.run_until_complete(box.terminate())
    loop.close()
    ratio = medians["backend"] / medians["sdk"]
    print(f"opensandbox execute_code('pass'): sdk {medians['sdk'] * 1e3:.2f} ms, "
          f"backend {medians['backend'] * 1e3:.2f} ms, ratio {ratio:.3f} (target <= {TARGET})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
