import os
import sys
from pathlib import Path

import pytest

_DIR = os.environ.get("PYX_TESTMOD_DIR") or str(Path(__file__).resolve().parents[2] / "build" / "bridge-tests")
sys.path.insert(0, _DIR)


@pytest.fixture(scope="session")
def testmod():
    return pytest.importorskip("_pyx_testmod", reason="bridge test module not built (make bridge-tests)")
