"""The code-interpreter sandbox interface and its one-time package-install step."""

import asyncio
import inspect
import logging

import pytest

import vorn_sandbox.code_interpreter.base as ci_base
from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox
from vorn_sandbox.constants import Language, PackageInstallErrorMessage
from vorn_sandbox.errors import SandboxExecutionError, Stage
from vorn_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_sandbox.utils import get_install_code

LOGGER = "vorn_sandbox.code_interpreter.base"


async def _noop(self, *args, **kwargs):
    return None


MEMBERS = {
    "execute_code": _noop,
    "execute_command": _noop,
    "set_timeout": _noop,
    "sandbox_id": property(lambda self: None),
    "terminate": _noop,
    "download_file": _noop,
}


class ScriptedSandbox(CodeInterpreterSandbox):
    """Answers `execute_code` with prepared results (or raises a prepared exception) and records the calls."""

    def __init__(self, answers=(), **kwargs):
        super().__init__(**kwargs)
        self.answers = list(answers)
        self.calls = []

    async def execute_code(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    execute_command = set_timeout = terminate = download_file = _noop
    sandbox_id = property(lambda self: None)


@pytest.fixture(autouse=True)
def _warnings(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)


def records(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


# --- the interface ---------------------------------------------------------------------


@pytest.mark.parametrize("missing", [None, *MEMBERS])
def test_every_abstract_member_must_be_implemented(missing):
    namespace = {k: v for k, v in MEMBERS.items() if k != missing}
    cls = type(CodeInterpreterSandbox)("Partial", (CodeInterpreterSandbox,), namespace)
    if missing is None:
        assert isinstance(cls(), CodeInterpreterSandbox)
        with pytest.raises(TypeError):
            CodeInterpreterSandbox()
    else:
        with pytest.raises(TypeError):
            cls()


def test_call_surface():
    code = inspect.signature(CodeInterpreterSandbox.execute_code).parameters
    assert list(code) == ["self", "code", "timeout", "files", "upload_dir", "on_stdout", "on_stderr", "kwargs"]
    assert all(code[name].default is None for name in ("timeout", "files", "upload_dir", "on_stdout", "on_stderr"))
    command = inspect.signature(CodeInterpreterSandbox.execute_command).parameters
    assert [(n, p.kind, p.default) for n, p in command.items() if n != "self"] == [
        ("cmd", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty),
        ("env", inspect.Parameter.KEYWORD_ONLY, None),
        ("timeout", inspect.Parameter.KEYWORD_ONLY, None),
    ]
    for name in ("execute_code", "execute_command", "set_timeout", "_setup_python_channels"):
        assert inspect.iscoroutinefunction(getattr(CodeInterpreterSandbox, name)), name
    assert not inspect.iscoroutinefunction(CodeInterpreterSandbox.reset_transport)


def test_constructor_defaults_and_storage():
    plain = ScriptedSandbox()
    assert plain.language is Language.PYTHON
    assert plain.additional_packages == []

    empties = [ScriptedSandbox(additional_packages=value) for value in (None, [], ())]
    assert all(sb.additional_packages == [] and type(sb.additional_packages) is list for sb in empties)
    assert len({id(sb.additional_packages) for sb in [plain, *empties]}) == 4  # a new list each time

    wanted = ["numpy"]
    shared = ScriptedSandbox(language="PyThOn3", additional_packages=wanted, region="eu", anything=object())
    assert shared.additional_packages is wanted
    wanted.append("pandas")
    assert shared.additional_packages == ["numpy", "pandas"]
    assert shared.language == "PyThOn3"


def test_reset_transport_is_a_no_op():
    sandbox = ScriptedSandbox(additional_packages=["numpy"])
    before = dict(vars(sandbox))
    assert sandbox.reset_transport() is None
    assert vars(sandbox) == before


# --- the package-install step ------------------------------------------------------------


def ok(stderr=""):
    return ExecutionResult.create(ExecutionStatus.SUCCESS, "install", stdout="", stderr=stderr)


@pytest.mark.parametrize("packages", [None, []])
@pytest.mark.parametrize("language", ["python", "py"])
async def test_python_without_packages_runs_and_logs_nothing(caplog, language, packages):
    sandbox = ScriptedSandbox(language=language, additional_packages=packages)
    assert await sandbox._setup_python_channels() is None
    assert sandbox.calls == []
    assert records(caplog) == []


@pytest.mark.parametrize("language", ["python", "PYTHON", "python3.9", "py", Language.PYTHON])
async def test_install_runs_once_through_execute_code(monkeypatch, caplog, language):
    seen = []

    def recording(lang, packages):
        seen.append((lang, packages))
        return get_install_code(lang, packages)

    monkeypatch.setattr(ci_base, "get_install_code", recording)
    packages = ["numpy", "pandas==2.2"]
    sandbox = ScriptedSandbox([ok(stderr="WARNING: running pip as root")], language=language, additional_packages=packages)
    assert await sandbox._setup_python_channels() is None
    assert len(seen) == 1 and seen[0][0] is language and seen[0][1] is packages
    assert sandbox.calls == [((get_install_code(language, packages),), {"timeout": 300})]
    assert [r for r in records(caplog) if r.levelno >= logging.WARNING] == []


@pytest.mark.parametrize(
    "result, detail",
    [
        (ExecutionResult.create(ExecutionStatus.ERROR, "c", stderr="Traceback", error="RuntimeError: x"), "RuntimeError: x"),
        (ExecutionResult.create(ExecutionStatus.ERROR, "c", stdout="out", stderr="Traceback ..."), "Traceback ..."),
        (ExecutionResult.create(ExecutionStatus.ERROR, "c", stdout="not a detail"), "error (exit code 1)"),
        (ExecutionResult.create(ExecutionStatus.TIMEOUT, "c"), "timeout (exit code 1)"),
        (ExecutionResult(status=ExecutionStatus.ERROR, exit_code=7), "error (exit code 7)"),
    ],
)
async def test_failed_install_raises_with_the_best_detail(result, detail):
    sandbox = ScriptedSandbox([result], additional_packages=["numpy"])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._setup_python_channels()
    err = info.value
    assert str(err) == f"Failed to install additional packages ['numpy']: {detail}"
    assert err.stage is Stage.PACKAGE_INSTALL
    assert isinstance(err, RuntimeError)
    assert err.__cause__ is None and err.transient is False


@pytest.mark.parametrize("status_text", ["error", "success"])
async def test_status_assigned_as_plain_text_still_fails_the_install(status_text):
    result = ExecutionResult.create(ExecutionStatus.SUCCESS, "c")
    result.status = status_text  # assignments are not validated
    sandbox = ScriptedSandbox([result], additional_packages=["numpy"])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox._setup_python_channels()
    assert info.value.stage is Stage.PACKAGE_INSTALL
    assert str(info.value).startswith("Failed to install additional packages ['numpy']: ")
    assert status_text in str(info.value)


@pytest.mark.parametrize("raised", [RuntimeError("transport closed"), asyncio.CancelledError()])
async def test_errors_of_execute_code_pass_unchanged(raised):
    sandbox = ScriptedSandbox([raised], additional_packages=["numpy"])
    with pytest.raises(type(raised)) as info:
        await sandbox._setup_python_channels()
    assert info.value is raised


TAIL = "The sandbox still executes '{0}' normally — install packages yourself via `execute_command(...)`."


@pytest.mark.parametrize("language", ["javascript", "pypy"])
@pytest.mark.parametrize("packages", [["lodash"], []])
async def test_other_languages_skip_with_one_warning(caplog, language, packages):
    sandbox = ScriptedSandbox(language=language, additional_packages=packages)
    assert await sandbox._setup_python_channels() is None
    assert sandbox.calls == []
    dropped = f"{packages} was NOT installed. " if packages else ""
    expected = (
        f"Skipping automatic Python setup for language '{language}': `additional_packages` installs cover "
        f"Python (pip) only. {dropped}" + TAIL.format(language)
    )
    [record] = records(caplog)
    assert record.levelno == logging.WARNING
    assert record.getMessage() == expected
    assert record.exc_info is None


async def test_direct_install_for_other_language():
    with pytest.raises(ValueError) as info:
        await ScriptedSandbox(language="R", additional_packages=["x"])._install_additional_packages()
    assert str(info.value) == PackageInstallErrorMessage.UNSUPPORTED_LANGUAGE.format("R", "R")
    empty = ScriptedSandbox(language="R")
    assert await empty._install_additional_packages() is None
    assert empty.calls == []
