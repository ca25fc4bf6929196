"""A confined workspace command against its floor, and the drain of a large output against `cat`.

The backend runs each program in a fresh local interpreter (the test suite's local backend), so
a confined `true` costs at least one `execute_code("pass")`, one helper interpreter
(`python -I -S -c pass`) and the command itself (`true`): that sum is its floor. The drain reads
1 GiB of standard output while keeping the 1 MiB retention limit; its baseline is the same bytes
piped through `cat` into /dev/null.
"""

from __future__ import annotations

import functools
import subprocess
import sys
import time

from _common import interleaved_medians, local_workspace, wall_clock_sampler

from vorn_sandbox.code_interpreter import run_workspace_command

ROUNDS = 15
DRAIN_ROUNDS = 3
DRAIN_BYTES = 1 << 30
RETAINED = 1 << 20


def main() -> None:
    with local_workspace() as (loop, sandbox, workspace):
        timed_async = functools.partial(wall_clock_sampler, loop)

        def timed_run(argv):
            def sample() -> float:
                start = time.perf_counter()
                subprocess.run(argv, check=True)
                return time.perf_counter() - start
            return sample

        confined = timed_async(lambda: run_workspace_command(sandbox, ["true"], workspace_root=str(workspace)))
        execute = timed_async(lambda: sandbox.execute_code("pass"))
        helper = timed_run([sys.executable, "-I", "-S", "-c", "pass"])
        bare = timed_run(["true"])

        result = loop.run_until_complete(run_workspace_command(sandbox, ["true"], workspace_root=str(workspace)))
        assert result.exit_code == 0, result
        medians = interleaved_medians({"confined": confined, "execute": execute, "helper": helper, "true": bare},
                                      ROUNDS)
        floor = medians["execute"] + medians["helper"] + medians["true"]
        print(f"confined `true`: {medians['confined'] / floor:.2f}x its floor (confined {medians['confined'] * 1e3:.1f} ms;"
              f" floor {floor * 1e3:.1f} ms = execute_code {medians['execute'] * 1e3:.1f} + python -I -S"
              f" {medians['helper'] * 1e3:.1f} + true {medians['true'] * 1e3:.1f}); target <= 1.2x")

        async def drain():
            result = await run_workspace_command(sandbox, ["head", "-c", str(DRAIN_BYTES), "/dev/zero"],
                                                 max_output_bytes=RETAINED, timeout=0, workspace_root=str(workspace))
            assert result.stdout_byte_count == DRAIN_BYTES and result.stdout_captured_byte_count == RETAINED, result

        pipe = timed_run(["sh", "-c", f"head -c {DRAIN_BYTES} /dev/zero | cat > /dev/null"])
        drains = interleaved_medians({"drain": timed_async(drain), "cat": pipe}, DRAIN_ROUNDS)
    gib = DRAIN_BYTES / (1 << 30)
    print(f"1 GiB drain: {drains['cat'] / drains['drain']:.2f}x the throughput of cat "
          f"(drain {gib / drains['drain']:.2f} GiB/s, cat {gib / drains['cat']:.2f} GiB/s); target >= 0.5x")


if __name__ == "__main__":
    main()
