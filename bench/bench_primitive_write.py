"""Bounded workspace file writes against running a program that carries the same payload.

`write_workspace_file` of 1 KiB, 1 MiB and 16 MiB is compared with one `execute_code` of a
program that holds the same bytes as a base64 literal and decodes them, on the test suite's
local backend (a fresh interpreter per program). Then the bootstrap program for a 16 MiB write
is built in the caller's process, and its rate in payload bytes per second is printed.
"""

from __future__ import annotations

import base64
import functools
import os
import statistics
import time

from _common import interleaved_medians, local_workspace, wall_clock_sampler

from vorn_sandbox.code_interpreter import write_workspace_file
from vorn_sandbox.models import WorkspaceFileWriteRequest
from vorn_sandbox.primitives import build_file_write_payload, runner_bootstrap

SIZES = {"1 KiB": 1 << 10, "1 MiB": 1 << 20, "16 MiB": 1 << 24}
ROUNDS = {"1 KiB": 15, "1 MiB": 11, "16 MiB": 7}
BOOTSTRAP_CALLS = 30


def main() -> None:
    with local_workspace() as (loop, sandbox, workspace):
        timed = functools.partial(wall_clock_sampler, loop)

        for label, size in SIZES.items():
            data = os.urandom(size)
            request = WorkspaceFileWriteRequest(relative_path="payload.bin", data=data, max_bytes=size, overwrite=True)
            carrier = f"import base64\n_data = base64.b64decode({base64.b64encode(data).decode('ascii')!r})\n"

            async def execute(carrier=carrier):
                result = await sandbox.execute_code(carrier, timeout=0)
                assert not result.error, result.error

            write = timed(lambda request=request: write_workspace_file(sandbox, request, workspace_root=str(workspace)))
            write()
            assert (workspace / "payload.bin").read_bytes() == data
            medians = interleaved_medians({"write": write, "execute": timed(execute)}, ROUNDS[label])
            target = "; target <= 1.3x" if size == SIZES["16 MiB"] else ""
            print(f"write_workspace_file {label}: {medians['write'] / medians['execute']:.2f}x execute_code of the"
                  f" payload (write {medians['write'] * 1e3:.1f} ms, execute_code {medians['execute'] * 1e3:.1f} ms)"
                  f"{target}")

    data = os.urandom(SIZES["16 MiB"])
    payload = build_file_write_payload("payload.bin", data, max_bytes=len(data), overwrite=True, workspace_root=None)
    samples = []
    for _ in range(BOOTSTRAP_CALLS):
        start = time.perf_counter()
        runner_bootstrap(payload)
        samples.append(time.perf_counter() - start)
    rate = len(data) / statistics.median(samples) / 1e9
    print(f"bootstrap of a 16 MiB write: {rate:.2f} GB/s of payload (median of {BOOTSTRAP_CALLS};"
          f" first call {len(data) / samples[0] / 1e9:.2f} GB/s, slowest {len(data) / max(samples) / 1e9:.2f} GB/s);"
          f" target >= 1 GB/s")


if __name__ == "__main__":
    main()
