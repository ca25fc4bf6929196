"""Execution results, files and the frozen workspace models."""

import enum
import inspect
import pickle

import pydantic
import pytest

from vorn_sandbox import models
from vorn_sandbox.models import (
    CommandResult, ExecutionResult, ExecutionStatus, SandboxFile, WorkspaceFileWriteRequest,
    WorkspaceFileWriteResult,
)

S = ExecutionStatus

COMMAND_REQUIRED = dict(
    argv=("ls", "-l"), status=S.SUCCESS,
    stderr_byte_count=0, stderr_captured_byte_count=0, stderr_truncated=False,
    stdout_byte_count=5, stdout_captured_byte_count=5, stdout_truncated=False,
)


def test_module_exports_and_status_enumeration():
    assert models.__all__ == [
        "CommandResult", "ExecutionResult", "ExecutionStatus", "SandboxFile",
        "WorkspaceFileWriteRequest", "WorkspaceFileWriteResult",
    ]
    assert ExecutionStatus.__bases__ == (enum.Enum,)
    assert [(m.name, m.value) for m in ExecutionStatus] == [
        ("SUCCESS", "success"), ("ERROR", "error"), ("TIMEOUT", "timeout")]
    assert ExecutionStatus.SUCCESS != "success"
    assert pickle.loads(pickle.dumps(S.TIMEOUT)) is S.TIMEOUT


@pytest.mark.parametrize(
    ("model", "fields", "config"),
    [
        (SandboxFile, ["filename", "data"], {}),
        (ExecutionResult, ["status", "code", "stdout", "stderr", "text", "error", "exit_code",
                           "duration_ms"], {}),
        (WorkspaceFileWriteRequest, ["data", "max_bytes", "overwrite", "relative_path"],
         {"frozen": True}),
        (WorkspaceFileWriteResult, ["bytes_written", "duration_ms", "overwritten", "path"],
         {"frozen": True}),
        (CommandResult, [
            "argv", "duration_ms", "error", "exit_code", "status",
            "stderr", "stderr_byte_count", "stderr_captured_byte_count", "stderr_truncated",
            "stderr_byte_count_complete",
            "stdout", "stdout_byte_count", "stdout_captured_byte_count", "stdout_truncated",
            "stdout_byte_count_complete", "timed_out"], {"frozen": True}),
    ],
)
def test_model_layout(model, fields, config):
    assert model.__bases__ == (pydantic.BaseModel,)
    assert list(model.model_fields) == fields
    assert dict(model.model_config) == config


@pytest.mark.parametrize(
    ("status", "stdout", "error", "text", "exit_code"),
    [
        (S.SUCCESS, "out\n", "", "out\n", 0),
        (S.ERROR, "partial", "Traceback: boom", "Traceback: boom", 1),
        (S.TIMEOUT, "partial", "took too long", "took too long", 1),
        (S.ERROR, "partial", "", "partial", 1),
        (S.ERROR, "", "", "", 1),
        ("success", "out", "", "out", 1),  # the value string is not the member
    ],
)
def test_create_derives_text_and_exit_code(status, stdout, error, text, exit_code):
    result = ExecutionResult.create(status, "print(1)", stdout=stdout, error=error)
    assert result.status is ExecutionStatus(getattr(status, "value", status))
    assert (result.text, result.exit_code) == (text, exit_code)
    assert result.stdout == stdout and result.error == error
    assert result.code == "print(1)" and result.stderr == "" and result.duration_ms is None


def test_create_signature_and_positional_order():
    params = inspect.signature(ExecutionResult.create).parameters
    assert [(n, p.default) for n, p in params.items()] == [
        ("status", inspect.Parameter.empty), ("code", inspect.Parameter.empty),
        ("stdout", ""), ("stderr", ""), ("error", ""), ("duration_ms", None)]
    r = ExecutionResult.create(S.ERROR, "c", "o", "e", "x", 42)
    assert (r.stdout, r.stderr, r.error, r.duration_ms, r.text) == ("o", "e", "x", 42, "x")
    with pytest.raises(TypeError):
        ExecutionResult.create(S.SUCCESS)


def test_direct_construction_derives_nothing():
    r = ExecutionResult(status=S.ERROR, error="bad")
    assert (r.code, r.stdout, r.stderr, r.text, r.exit_code, r.duration_ms) == ("", "", "", "", 0, None)


def test_class_constructors_honour_subclasses():
    class MyResult(ExecutionResult):
        pass

    class MyFile(SandboxFile):
        pass

    assert type(MyResult.create(S.SUCCESS, "c")) is MyResult
    f = MyFile.from_bytes(b"\x00data", "sub/dir/a.bin")
    assert type(f) is MyFile
    assert (f.filename, f.data) == ("sub/dir/a.bin", b"\x00data")
    assert list(inspect.signature(SandboxFile.from_bytes).parameters) == ["data", "filename"]


def test_validation_and_unknown_keywords():
    for bad in (dict(filename="a"), dict(filename=1, data=b"")):
        with pytest.raises(ValueError):  # pydantic's ValidationError is a ValueError
            SandboxFile(**bad)
    with pytest.raises(ValueError):
        ExecutionResult.create(S.SUCCESS, "c", duration_ms="soon")
    f = SandboxFile(filename="a", data=b"x", content_type="text/plain")
    assert not hasattr(f, "content_type") and f.model_dump() == {"filename": "a", "data": b"x"}


def test_write_request_limit():
    for max_bytes in (0, -1):
        with pytest.raises(pydantic.ValidationError):
            WorkspaceFileWriteRequest(data=b"", max_bytes=max_bytes, relative_path="a")
    req = WorkspaceFileWriteRequest(data=b"0123456789", max_bytes=1, relative_path="../odd")
    assert req.overwrite is False and req.relative_path == "../odd"  # size and path are not checked here


def test_command_result_defaults_and_dump_order():
    r = CommandResult(argv=["ls", "-l"], **{k: v for k, v in COMMAND_REQUIRED.items() if k != "argv"})
    assert r.argv == ("ls", "-l") and isinstance(r.argv, tuple)
    assert (r.duration_ms, r.exit_code, r.error, r.stdout, r.stderr) == (None, None, "", "", "")
    assert r.stderr_byte_count_complete is True and r.stdout_byte_count_complete is True
    assert r.timed_out is False
    assert list(r.model_dump()) == list(CommandResult.model_fields)
    text = repr(r)
    assert text.index("stderr_truncated") < text.index("stderr_byte_count_complete") < text.index("stdout=")


@pytest.mark.parametrize(
    ("instance", "field", "value"),
    [
        (CommandResult(**COMMAND_REQUIRED), "timed_out", True),
        (WorkspaceFileWriteRequest(data=b"x", max_bytes=1, relative_path="a"), "overwrite", True),
        (WorkspaceFileWriteResult(bytes_written=1, overwritten=False, path="a"), "path", "b"),
    ],
)
def test_workspace_models_are_frozen_and_hashable(instance, field, value):
    before = getattr(instance, field)
    with pytest.raises(pydantic.ValidationError):
        setattr(instance, field, value)
    assert getattr(instance, field) == before
    assert hash(instance) == hash(instance.model_copy())
    assert instance == type(instance)(**instance.model_dump())


def test_results_and_files_are_mutable_and_picklable():
    r = ExecutionResult.create(S.SUCCESS, "c", stdout="o", duration_ms=3)
    r.exit_code = 7
    f = SandboxFile(filename="a", data=b"1")
    f.data = b"2"
    assert (r.exit_code, f.data) == (7, b"2")
    for obj in (r, f, CommandResult(**COMMAND_REQUIRED)):
        assert pickle.loads(pickle.dumps(obj)) == obj
