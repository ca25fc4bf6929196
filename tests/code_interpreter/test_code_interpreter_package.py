"""The `vorn_sandbox.code_interpreter` package surface, observed in a fresh interpreter."""

import json
import os
import subprocess
import sys

import vorn_sandbox.base
import vorn_sandbox.code_interpreter as package
import vorn_sandbox.code_interpreter.base
import vorn_sandbox.code_interpreter.primitives
import vorn_sandbox.errors

ALL = ["BaseSandbox", "CodeInterpreterError", "CodeInterpreterSandbox", "SandboxExecutionError",
       "SandboxNotInitializedError", "SandboxStartError", "SandboxTerminateError", "Stage", "TemplateBuildError",
       "run_workspace_command", "write_workspace_file"]

PROBE = """
import importlib.abc, json, sys

class Blocker(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in {"e2b", "e2b_code_interpreter", "opensandbox", "aioboto3", "boto3", "botocore",
                                  "httpx", "opentelemetry"}:
            raise ModuleNotFoundError(name, name=name)
        return None

sys.meta_path.insert(0, Blocker())
import vorn_sandbox.code_interpreter as package
star = {}
exec("from vorn_sandbox.code_interpreter import *", star)
star.pop("__builtins__")
print(json.dumps({"star": sorted(star), "loaded": sorted(m for m in sys.modules if m.startswith("vorn_sandbox")),
                  "names": sorted(vars(package))}))
"""


def probe():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_surface_without_any_provider_sdk():
    info = probe()
    assert info["star"] == sorted(ALL)
    assert "vorn_sandbox.code_interpreter.primitives" in info["loaded"]
    assert "vorn_sandbox.primitives" in info["loaded"]
    assert not {"vorn_sandbox.code_interpreter.e2b", "vorn_sandbox.code_interpreter.opensandbox",
                "vorn_sandbox.code_interpreter.bedrock", "vorn_sandbox.primitive_runner"} & set(info["loaded"])
    public = {n for n in info["names"] if not n.startswith("_")}
    assert public == set(ALL) | {"base", "primitives"}


def test_all_and_identity():
    assert package.__all__ == ALL and type(package.__all__) is list
    assert package.BaseSandbox is vorn_sandbox.base.BaseSandbox
    assert package.CodeInterpreterSandbox is vorn_sandbox.code_interpreter.base.CodeInterpreterSandbox
    assert package.Stage is vorn_sandbox.errors.Stage
    for name in ALL[1:9]:
        if name != "CodeInterpreterSandbox":
            assert getattr(package, name) is getattr(vorn_sandbox.errors, name)
    for name in ("run_workspace_command", "write_workspace_file"):
        assert getattr(package, name) is getattr(vorn_sandbox.code_interpreter.primitives, name)
    for backend in ("E2BSandbox", "OpenSandbox", "BedrockAgentCoreSandbox"):
        assert not hasattr(package, backend)
    assert package.__doc__.startswith("Code-interpreter sandbox interface: ABCs and errors only.")
