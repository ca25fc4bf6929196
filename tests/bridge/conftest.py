import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

_DIR = os.environ.get("PYX_TESTMOD_DIR") or str(Path(__file__).resolve().parents[2] / "build" / "bridge-tests")
sys.path.insert(0, _DIR)


@pytest.fixture(scope="session")
def testmod():
    return pytest.importorskip("_pyx_testmod", reason="bridge test module not built (make bridge-tests)")


@pytest.fixture
def run_child(testmod):
    """Runs code in a fresh interpreter that can import the bridge test module:
    for what must happen first in a process, or may take the process down."""
    path = os.path.dirname(testmod.__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [path, os.environ.get("PYTHONPATH")])))

    def run(code: str, *options: str, timeout: float = 60) -> subprocess.CompletedProcess:
        command = [sys.executable, *options, "-c", textwrap.dedent(code)]
        return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)

    return run
