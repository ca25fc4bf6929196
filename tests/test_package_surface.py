"""Public surfaces of ``vorn_sandbox``, ``vorn_sandbox.template`` and ``vorn_sandbox.computer_use``.

Each import footprint is observed in a fresh interpreter, since a module initialises once per
process. Provider SDKs and OpenTelemetry are made unimportable there, and every attempt to import
them is recorded, so that even a guarded optional import shows up.
"""

import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

ROOT_ALL = [
    "BaseSandbox", "CommandResult", "CodeInterpreterError", "ExecutionResult", "ExecutionStatus",
    "SandboxExecutionError", "SandboxFile", "SandboxNotInitializedError", "SandboxStartError",
    "SandboxTerminateError", "Stage", "TemplateBuildError", "WorkspaceFileWriteRequest",
    "WorkspaceFileWriteResult",
]
TEMPLATE_ALL = [
    "AwsAuth", "BaseTemplateBuilder", "BasicAuth", "GcpAuth", "RegistryAuth", "SandboxProvider",
    "TemplateBuildResult", "TemplateBuildStatus", "TemplateRef", "TemplateSpec",
]
STANDARD_MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__path__",
                         "__file__", "__cached__", "__builtins__"}

PROBE = """
import importlib.abc, json, sys

BLOCKED = {"e2b", "e2b_code_interpreter", "opensandbox", "aioboto3", "boto3", "botocore",
           "httpx", "opentelemetry"} | set(EXTRA_BLOCKED)
attempts = []

class Blocker(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            attempts.append(name)
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

for name in [m for m in sys.modules if m.split(".")[0] in BLOCKED]:
    del sys.modules[name]
sys.meta_path.insert(0, Blocker())
try:
    mod = importlib.import_module(MODULE)
except ImportError as exc:
    print(json.dumps({"error": str(exc)}))
    raise SystemExit(0)
loaded = sorted(m for m in sys.modules if m.split(".")[0] == "vorn_sandbox")
star = {}
exec(f"from {MODULE} import *", star)
star.pop("__builtins__", None)
print(json.dumps({
    "attempts": attempts,
    "loaded": loaded,
    "all": getattr(mod, "__all__", None),
    "all_is_list": type(getattr(mod, "__all__", None)) is list,
    "names": sorted(vars(mod)),
    "star": sorted(star),
    "doc": mod.__doc__,
}))
"""


def run_python(code, timeout=60):
    """Run a snippet in a fresh interpreter that sees the same import path as the tests."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, env=env)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture(scope="module")
def probe():
    cache = {}

    def run(module, extra_blocked=()):
        key = (module, tuple(extra_blocked))
        if key not in cache:
            code = f"MODULE = {module!r}\nEXTRA_BLOCKED = {list(extra_blocked)!r}\n" + PROBE
            cache[key] = json.loads(run_python(code))
        return cache[key]

    return run


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_root_package_loads_only_the_core(probe):
    info = probe("vorn_sandbox")
    assert info["attempts"] == []
    assert info["loaded"] == ["vorn_sandbox", "vorn_sandbox.base", "vorn_sandbox.constants",
                              "vorn_sandbox.errors", "vorn_sandbox.models"]


def test_root_package_namespace(probe):
    info = probe("vorn_sandbox")
    assert info["all"] == ROOT_ALL and info["all_is_list"]
    assert info["star"] == sorted(ROOT_ALL)
    assert public(info["names"]) == set(ROOT_ALL) | {"base", "constants", "errors", "models"}
    for hook in ("__version__", "__getattr__", "__dir__"):
        assert hook not in info["names"]
    assert info["doc"]


def test_template_package_loads_no_provider(probe):
    info = probe("vorn_sandbox.template")
    assert info["attempts"] == []
    assert info["loaded"] == [
        "vorn_sandbox", "vorn_sandbox.base", "vorn_sandbox.constants", "vorn_sandbox.errors",
        "vorn_sandbox.models", "vorn_sandbox.template", "vorn_sandbox.template.base",
        "vorn_sandbox.template.models",
    ]


def test_template_package_namespace(probe):
    info = probe("vorn_sandbox.template")
    assert info["all"] == TEMPLATE_ALL and info["all_is_list"]
    assert info["star"] == sorted(TEMPLATE_ALL)
    assert public(info["names"]) == set(TEMPLATE_ALL) | {"base", "models"}
    assert "__getattr__" not in info["names"]
    assert info["doc"]


def test_computer_use_is_an_empty_reserved_package(probe):
    info = probe("vorn_sandbox.computer_use")
    assert info["attempts"] == []
    assert set(info["names"]) <= STANDARD_MODULE_ATTRS and "__path__" in info["names"]
    assert info["all"] is None and info["star"] == []
    assert info["doc"]
    assert "vorn_sandbox.computer_use" in info["loaded"]


@pytest.mark.parametrize("module", ["vorn_sandbox", "vorn_sandbox.template"])
def test_import_fails_without_logger_factory(probe, module):
    info = probe(module, extra_blocked=["kelmo_core"])
    assert "kelmo_core" in info.get("error", "")


def _is_error(name):
    return name.endswith("Error") or name == "Stage"


HOMES = {
    "vorn_sandbox.base": ["BaseSandbox"],
    "vorn_sandbox.errors": [n for n in ROOT_ALL if _is_error(n)],
    "vorn_sandbox.models": [n for n in ROOT_ALL if not _is_error(n) and n != "BaseSandbox"],
    "vorn_sandbox.template.base": ["BaseTemplateBuilder"],
    "vorn_sandbox.template.models": [n for n in TEMPLATE_ALL if n != "BaseTemplateBuilder"],
}


@pytest.mark.parametrize("home", list(HOMES))
def test_reexports_are_the_defining_objects(home):
    pkg, mod = importlib.import_module(home.rsplit(".", 1)[0]), importlib.import_module(home)
    for name in HOMES[home]:
        obj = getattr(mod, name)
        assert getattr(pkg, name) is obj, name
        if isinstance(obj, type):
            assert obj.__module__ == home, name
