"""Native functions carry the annotations a Python library would: inspect.signature and
typing.get_type_hints see parameter and return types."""

import inspect
import typing
from collections.abc import Awaitable, Callable, Coroutine, MutableMapping
from datetime import timedelta

import pytest

from vorn_sandbox import base, errors, models, observability, utils
from vorn_sandbox.code_interpreter import base as ci_base
from vorn_sandbox.template import base as template_base

Factory = Callable[[], Awaitable[typing.Any]]
Transient = Callable[[BaseException], bool]

EXPECTED = [
    (utils.build_upload_path, {"filename": str, "upload_dir": str | None, "default_dir": str | None, "return": str}),
    (utils.resolve_timeout, {"timeout": float | None, "default": float, "return": float | None}),
    (utils.resolve_sandbox_timeout, {"sandbox_timeout": int | float | timedelta | None,
                                     "legacy_timeout": int | float | timedelta | None,
                                     "kwargs": MutableMapping[str, typing.Any] | None, "legacy_key": str,
                                     "default": int | float | timedelta, "return": int}),
    (utils.calculate_duration_ms, {"start_time": float, "return": int}),
    (utils.supports_automatic_install, {"language": str, "return": bool}),
    (utils.get_install_code, {"language": str, "packages": list[str], "return": str}),
    (utils.create_with_retry, {"create": Factory, "is_transient": Transient, "attempts": int, "backoff": float,
                               "total_timeout": float | None, "return": typing.Any}),
    (utils.terminate_with_retry, {"kill": Factory, "timeout": float, "error_message": str, "return": type(None)}),
    (models.ExecutionResult.create, {"status": models.ExecutionStatus, "code": str, "stdout": str, "stderr": str,
                                     "error": str, "duration_ms": int | None, "return": models.ExecutionResult}),
    (models.SandboxFile.from_bytes, {"data": bytes, "filename": str, "return": models.SandboxFile}),
    (errors.CodeInterpreterError.__init__, {"message": str, "stage": errors.Stage,
                                            "classifier": errors.TransientClassifier | None, "return": type(None)}),
    (base.BaseSandbox._is_transient_create_error, {"exc": BaseException, "return": bool}),
    (base.BaseSandbox._shielded_rollback, {"teardown": Coroutine[typing.Any, typing.Any, None], "timeout": float,
                                           "return": type(None)}),
    (base.BaseSandbox.terminate, {"timeout": float, "return": type(None)}),
    (base.BaseSandbox.download_file, {"file_path": str, "timeout": float, "return": bytes | None}),
    (ci_base.CodeInterpreterSandbox.execute_command, {"cmd": str, "env": dict[str, str] | None,
                                                      "timeout": float | None, "return": models.ExecutionResult}),
    (ci_base.CodeInterpreterSandbox.set_timeout, {"seconds": int, "return": type(None)}),
    (ci_base.CodeInterpreterSandbox._detail, {"result": models.ExecutionResult, "return": str}),
    (template_base.BaseTemplateBuilder._resolve_ref, {"template_id": str, "return": str | None}),
]


@pytest.mark.parametrize("function, hints", EXPECTED, ids=lambda value: getattr(value, "__qualname__", ""))
def test_type_hints_of_native_functions(function, hints):
    assert typing.get_type_hints(function) == hints
    signature = inspect.signature(function)
    for name, annotation in hints.items():
        if name == "return":
            expected = None if annotation is type(None) else annotation
            assert signature.return_annotation == expected
        else:
            assert signature.parameters[name].annotation == annotation


def test_every_public_native_function_is_annotated():
    missing, checked = [], 0
    for module in (utils, models, errors, base, ci_base, observability, template_base):
        for name, value in vars(module).items():
            if name.startswith("_") or not isinstance(value, type) and not callable(value):
                continue
            members = vars(value).items() if isinstance(value, type) else [(name, value)]
            for member_name, member in members:
                function = getattr(member, "__func__", getattr(member, "fget", member))
                if type(function).__name__ != "function" or type(function).__module__ != "pyx":
                    continue
                if member_name.startswith("_") and member_name != "__init__":
                    continue
                checked += 1
                if "return" not in typing.get_type_hints(function):
                    missing.append(f"{module.__name__}.{name}.{member_name}")
    assert missing == [] and checked >= 25
