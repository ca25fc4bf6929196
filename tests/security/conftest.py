import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "runner"))

from runner_harness import arena, runner  # noqa: E402,F401  (fixtures)
