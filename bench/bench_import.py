"""Cold `import vorn_sandbox` against cold `import pydantic`, each in a fresh interpreter."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from _common import interleaved_medians, timed


HERE = Path(__file__).resolve().parent


def cold(statement: str):
    command = [sys.executable, "-c", statement]
    return lambda: timed(lambda: subprocess.run(command, check=True))


# What importing the package must load in any case: asyncio and the standard
# modules of the sandbox root, pydantic's model machinery, the logger factory.
REQUIRED = (
    "import asyncio, contextlib, abc, collections.abc, typing, inspect, enum; "
    "from pydantic import BaseModel, ConfigDict, PositiveInt; import kelmo_core.logging"
)


def own_import(module: str):
    """Seconds that `import module` takes in a fresh interpreter whose dependencies are already loaded."""
    code = f"{REQUIRED}; import time; t = time.perf_counter(); import {module}; print(time.perf_counter() - t)"
    command = [sys.executable, "-c", code]

    def sample() -> float:
        return float(subprocess.run(command, check=True, capture_output=True, text=True, cwd=HERE).stdout)

    return sample


def main() -> None:
    medians = interleaved_medians(
        {
            "startup": cold("pass"),
            "pydantic": cold("import pydantic"),
            "required": cold(REQUIRED),
            "vorn_sandbox": cold("import vorn_sandbox"),
        },
        40,
    )
    startup = medians["startup"]
    ratio = medians["vorn_sandbox"] / medians["pydantic"]
    net_ratio = (medians["vorn_sandbox"] - startup) / max(medians["pydantic"] - startup, 1e-9)
    print(
        f"cold import, vorn_sandbox / pydantic: {ratio:.2f}x wall, {net_ratio:.2f}x net of interpreter start-up "
        f"(vorn_sandbox {medians['vorn_sandbox'] * 1e3:.1f} ms, pydantic {medians['pydantic'] * 1e3:.1f} ms, "
        f"bare interpreter {startup * 1e3:.1f} ms; target <= 1.15)"
    )
    floor_ratio = medians["vorn_sandbox"] / medians["required"]
    print(
        f"cold import, vorn_sandbox / the imports it cannot avoid (asyncio, pydantic models, logger factory): "
        f"{floor_ratio:.2f}x wall (those imports alone {medians['required'] * 1e3:.1f} ms)"
    )
    own_import("pure.mirror")()  # compiles the mirror's bytecode once, as an installed package has it
    own = interleaved_medians({"native": own_import("vorn_sandbox"), "python": own_import("pure.mirror")}, 40)
    print(
        f"the package's own import work (dependencies loaded first), C++ / Python: "
        f"{own['native'] / own['python']:.2f}x (C++ {own['native'] * 1e3:.2f} ms, "
        f"the same package in Python {own['python'] * 1e3:.2f} ms; target <= 1.0)"
    )


if __name__ == "__main__":
    main()
