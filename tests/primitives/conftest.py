"""Fixtures of the workspace-primitive tests: a local backend and a workspace inside its home."""

import pytest
from local_sandbox import LocalInterpreterSandbox

import vorn_sandbox.primitives as primitives


@pytest.fixture
def workspace(tmp_path):
    """The sandbox home and the workspace root beneath it, apart from a sibling that must stay untouched."""
    home = tmp_path / "home"
    (home / "workspace").mkdir(parents=True)
    (tmp_path / "outside").mkdir()
    return home / "workspace"


@pytest.fixture
async def local_sandbox(workspace):
    sandbox = LocalInterpreterSandbox(workspace.parent)
    yield sandbox
    await sandbox.kill_all()


# A runner stand-in: reports what the bootstrap gave it, so the program's own behaviour shows.
STUB_RUNNER = '''\
import os
_RUNNER_SOURCE = None
_LOADED_AS = (__name__, __file__)


def run_primitive(params):
    return {"params": params, "loaded_as": list(_LOADED_AS), "source_kept": _RUNNER_SOURCE is not None,
            "source_ok": _RUNNER_SOURCE == open(os.environ["STUB_RUNNER_PATH"], encoding="utf-8").read(),
            "text": "\u00e9\u2028"}
'''


@pytest.fixture(scope="session")
def stub_runner_source():
    """The stub runner's text, for tests that build their own package folder (a test module cannot import
    this conftest by name: the runner tests have a conftest of their own)."""
    return STUB_RUNNER


@pytest.fixture
def stub_runner(tmp_path, monkeypatch):
    """Points the client's resource lookup at a package folder holding the stub runner."""
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "primitive_runner.py").write_text(STUB_RUNNER, encoding="utf-8")
    looked_up = []

    def files(anchor):
        looked_up.append(anchor)
        return package

    monkeypatch.setattr(primitives, "files", files)
    return package / "primitive_runner.py", looked_up
