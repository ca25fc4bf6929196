"""The package-install program of ``vorn_sandbox.utils``: language test, generated source, and real runs."""

import asyncio
import base64
import hashlib
import importlib
import importlib.metadata
import json
import os
import site
import subprocess
import sys
import zipfile

import pytest

from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox
from vorn_sandbox.constants import Language, PackageInstallErrorMessage
from vorn_sandbox.errors import SandboxExecutionError, Stage
from vorn_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_sandbox.utils import get_install_code, supports_automatic_install


@pytest.mark.parametrize(
    "language, supported",
    [
        ("python", True),
        ("Python3.11", True),
        ("python3", True),
        ("PYTHON", True),
        (Language.PYTHON, True),
        ("py", True),
        ("PY", True),
        ("pypy", False),
        ("ipython", False),
        ("py3", False),
        (" python", False),
        ("javascript", False),
        ("", False),
    ],
)
def test_supports_automatic_install(language, supported):
    assert supports_automatic_install(language) is supported


@pytest.mark.parametrize("language", ["R", "javascript", "pypy"])
def test_install_code_refuses_languages_without_installer(language):
    with pytest.raises(ValueError) as info:
        get_install_code(language, ["numpy"])
    assert str(info.value) == PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE.format(language, language)
    assert str(info.value).count(f"'{language}'") == 2


def test_install_code_varies_only_in_the_package_list():
    first = get_install_code("Python3", ["numpy", "pandas>=2.0"])
    assert first.count(repr(["numpy", "pandas>=2.0"])) == 1
    assert repr(PackageInstallErrorMessage.PIP_UNAVAILABLE) in first
    other = ["we'ird\"req", "b"]
    assert get_install_code(language="py", packages=other) == first.replace(repr(["numpy", "pandas>=2.0"]), repr(other))
    for language in ("python", "PYTHON", Language.PYTHON):
        assert get_install_code(language, ["numpy", "pandas>=2.0"]) == first
    compile(get_install_code("python", []), "<install>", "exec")


# --- the program run in this process, with pip and the metadata look-up stood in ------------


class Harness:
    """Runs the generated program with `subprocess.run`, `distribution`, `site` and the import caches stood in."""

    def __init__(self, monkeypatch, tmp_path):
        self.mp = monkeypatch
        self.tmp_path = tmp_path
        self.events = []
        self.version = subprocess.CompletedProcess([], 0, "pip 99.0\n", "")
        self.install = subprocess.CompletedProcess([], 0, "Successfully installed\n", "")
        self.installed = None  # None: every distribution exists
        self.user_site = None

    def _run(self, cmd, **kwargs):
        assert cmd[:3] == [sys.executable, "-m", "pip"]
        assert not kwargs.get("shell") and not kwargs.get("check") and "timeout" not in kwargs
        self.events.append(("pip", *cmd[3:]))
        return self.version if cmd[3:] == ["--version"] else self.install

    def _distribution(self, name):
        self.events.append(("lookup", name))
        if self.installed is not None and name not in self.installed:
            raise importlib.metadata.PackageNotFoundError(name)
        return object()

    def run(self, packages):
        code = get_install_code("python", packages)
        self.mp.setattr(subprocess, "run", self._run)
        self.mp.setattr(importlib.metadata, "distribution", self._distribution)
        self.mp.setattr(site, "ENABLE_USER_SITE", self.user_site is not None)
        self.mp.setattr(site, "getusersitepackages", lambda: str(self.user_site))
        self.mp.setattr(site, "addsitedir", lambda path: self.events.append(("addsitedir", path)))
        self.mp.setattr(importlib, "invalidate_caches", lambda: self.events.append(("invalidate",)))
        exec(compile(code, "<install>", "exec"), {"__name__": "__main__"})

    def lookups(self):
        return [e[1] for e in self.events if e[0] == "lookup"]


@pytest.fixture
def harness(monkeypatch, tmp_path):
    return Harness(monkeypatch, tmp_path)


@pytest.mark.parametrize("user_site_state", ["disabled", "absent", "present"])
def test_successful_run_order_and_silence(harness, capsys, user_site_state):
    if user_site_state != "disabled":
        harness.user_site = harness.tmp_path / "user-site"
        if user_site_state == "present":
            harness.user_site.mkdir()
    packages = ["numpy", "pandas>=2.0", "we'ird"]
    harness.run(packages)
    site_step = [("addsitedir", str(harness.user_site))] if user_site_state == "present" else []
    assert harness.events == [
        ("pip", "--version"),
        ("pip", "install", "numpy", "pandas>=2.0", "we'ird"),
        *site_step,
        ("invalidate",),
        ("lookup", "numpy"),
        ("lookup", "pandas"),
        ("lookup", "we'ird"),
    ]
    assert capsys.readouterr() == ("", "")


def test_missing_pip_stops_before_installing(harness):
    harness.version = subprocess.CompletedProcess([], 1, "", "No module named pip\n")
    with pytest.raises(RuntimeError) as info:
        harness.run(["numpy"])
    assert str(info.value) == PackageInstallErrorMessage.PIP_UNAVAILABLE.format(sys.executable)
    assert harness.events == [("pip", "--version")]


LONG = "".join(str(i % 10) for i in range(4500))


@pytest.mark.parametrize(
    "stdout, stderr, message",
    [
        ("ignored", "  ERROR: boom  \n", "ERROR: boom"),
        (" only stdout\n", "", "only stdout"),
        ("ignored", "   \n", ""),
        ("", "  " + LONG + " \n\n", LONG[-2000:]),
        ("  " + LONG + "\n", "", LONG[-2000:]),
    ],
    ids=["stderr", "stdout-fallback", "blank-stderr-wins", "stderr-tail", "stdout-tail"],
)
def test_pip_failure_message(harness, stdout, stderr, message):
    harness.install = subprocess.CompletedProcess([], 2, stdout, stderr)
    with pytest.raises(RuntimeError) as info:
        harness.run(["numpy"])
    assert str(info.value) == message
    assert ("invalidate",) not in harness.events and harness.lookups() == []


@pytest.mark.parametrize(
    "requirement, looked_up",
    [
        ("numpy", ["numpy"]),
        ("pandas>=2.0", ["pandas"]),
        ("requests[socks]==2.31", ["requests"]),
        ("black~=24.1", ["black"]),
        ("pkg!=1.0", ["pkg"]),
        ("pkg<2", ["pkg"]),
        ("scipy ; python_version>'3.8'", ["scipy"]),
        ("./vendor/pkg", []),
        ("wheels/pkg-1.0-py3-none-any.whl", []),
        ("name @ https://host/name.whl", []),
        (" numpy", []),
    ],
)
def test_verified_distribution_names(harness, requirement, looked_up):
    harness.run([requirement])
    assert harness.lookups() == looked_up
    assert ("pip", "install", requirement) in harness.events


def test_missing_distributions_are_listed_in_order_with_repeats(harness):
    harness.installed = {"beta"}
    with pytest.raises(RuntimeError) as info:
        harness.run(["alpha==1", "beta", "alpha>=2", "--upgrade"])
    assert str(info.value) == (
        f"pip reported success but ['alpha', 'alpha', '--upgrade'] is not installed for {sys.executable}"
    )
    assert ("pip", "install", "alpha==1", "beta", "alpha>=2", "--upgrade") in harness.events


# --- real runs: local virtual environments, a wheel built here, no network -----------------

PROBE, PROBE_VERSION = "vornprobe", "0.1"

DRIVER = r"""
import contextlib, io, json, sys
code = open(sys.argv[1]).read()
probe = sys.argv[2] if len(sys.argv) > 2 else None
if probe:
    try:
        __import__(probe)  # fills the import caches before the install
    except ImportError:
        pass
out, error, value = io.StringIO(), None, None
try:
    with contextlib.redirect_stdout(out):
        exec(compile(code, "<install>", "exec"), {"__name__": "__main__"})
except RuntimeError as exc:
    error = str(exc)
if probe and error is None:
    value = __import__(probe).VALUE
print(json.dumps({"error": error, "stdout": out.getvalue(), "executable": sys.executable, "value": value}))
"""


def _write_wheel(folder):
    dist_info = f"{PROBE}-{PROBE_VERSION}.dist-info"
    files = {
        f"{PROBE}/__init__.py": b"VALUE = 42\n",
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {PROBE}\nVersion: {PROBE_VERSION}\n".encode(),
        f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(folder / f"{PROBE}-{PROBE_VERSION}-py3-none-any.whl", "w") as whl:
        for name, data in files.items():
            whl.writestr(name, data)


@pytest.fixture(scope="module")
def offline_env(tmp_path_factory):
    wheels = tmp_path_factory.mktemp("wheels")
    _write_wheel(wheels)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PIP_") and k not in ("PYTHONPATH", "PYTHONHOME")}
    env.update(PIP_NO_INDEX="1", PIP_FIND_LINKS=str(wheels), PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    return env


def _make_venv(root, *extra):
    subprocess.run([sys.executable, "-m", "venv", *extra, str(root)], check=True, capture_output=True, timeout=120)
    return str(root / "bin" / "python")


@pytest.fixture(scope="module")
def venv_python(tmp_path_factory):
    return _make_venv(tmp_path_factory.mktemp("venv"))


@pytest.fixture(scope="module")
def bare_python(tmp_path_factory):
    return _make_venv(tmp_path_factory.mktemp("bare"), "--without-pip")


def run_program(python, packages, env, tmp_path, probe=None):
    program = tmp_path / "install.py"
    program.write_text(get_install_code("python", packages))
    args = [python, "-c", DRIVER, str(program)] + ([probe] if probe else [])
    done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


class LocalSandbox(CodeInterpreterSandbox):
    """Runs code with a local interpreter in a child process."""

    def __init__(self, python, env, **kwargs):
        super().__init__(**kwargs)
        self.python, self.env = python, env

    async def execute_code(self, code, timeout=None, files=None, upload_dir=None, **kwargs):
        proc = await asyncio.create_subprocess_exec(
            self.python, "-c", code, env=self.env, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE
        )
        out, err = await asyncio.wait_for(proc.communicate(), timeout)
        status = ExecutionStatus.SUCCESS if proc.returncode == 0 else ExecutionStatus.ERROR
        return ExecutionResult.create(status, code, out.decode(), err.decode())

    async def _unused(self, *args, **kwargs):
        return None

    execute_command = set_timeout = terminate = download_file = _unused
    sandbox_id = property(lambda self: "local")


def _uninstall_probe(python, env):
    subprocess.run([python, "-m", "pip", "uninstall", "-y", PROBE], env=env, capture_output=True, timeout=120)


@pytest.mark.slow
async def test_real_install_makes_the_package_importable(venv_python, offline_env, tmp_path):
    # importable in the very interpreter that ran the install, without a restart; nothing printed
    _uninstall_probe(venv_python, offline_env)
    result = run_program(venv_python, [f"{PROBE}=={PROBE_VERSION}"], offline_env, tmp_path, probe=PROBE)
    assert result == {"error": None, "stdout": "", "executable": result["executable"], "value": 42}

    _uninstall_probe(venv_python, offline_env)
    sandbox = LocalSandbox(venv_python, offline_env, additional_packages=[PROBE])
    assert await sandbox._setup_python_channels() is None
    check = await sandbox.execute_code(f"import {PROBE}; print({PROBE}.VALUE)", timeout=60)
    assert check.status is ExecutionStatus.SUCCESS and check.stdout.strip() == "42"


@pytest.mark.slow
async def test_real_interpreter_without_pip(bare_python, offline_env, tmp_path):
    result = run_program(bare_python, [PROBE], offline_env, tmp_path)
    expected = PackageInstallErrorMessage.PIP_UNAVAILABLE.format(result["executable"])
    assert result["error"] == expected
    sandbox = LocalSandbox(bare_python, offline_env, language="python3", additional_packages=[PROBE])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._setup_python_channels()
    assert info.value.stage is Stage.PACKAGE_INSTALL
    assert str(info.value).startswith(f"Failed to install additional packages ['{PROBE}']: ")
    assert expected in str(info.value)


@pytest.mark.slow
def test_real_pip_failure_keeps_the_tail_of_its_error_text(venv_python, offline_env, tmp_path):
    requirement = "vornprobe-absent-" + "x" * 2100 + "==1.0"
    result = run_program(venv_python, [requirement], offline_env, tmp_path)
    direct = subprocess.run(
        [venv_python, "-m", "pip", "install", requirement], env=offline_env, capture_output=True, text=True, timeout=120
    )
    assert direct.returncode != 0
    expected = (direct.stderr or direct.stdout).strip()[-2000:]
    assert len(expected) == 2000 and expected.endswith("==1.0")
    assert result["error"] == expected

