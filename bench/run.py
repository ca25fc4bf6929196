"""Runs every benchmark of this folder; each prints ratios against a baseline measured in the same run."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> int:
    failed = 0
    for script in sorted(HERE.glob("bench_*.py")):
        result = subprocess.run([sys.executable, str(script)], cwd=HERE)
        failed += result.returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
