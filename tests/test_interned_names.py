"""Names that native code puts into class namespaces, annotations, enums and function
attributes are interned, as a class statement's are: attribute reads then match by
identity (an instance attribute read on a model was four times slower without it)."""

import sys

import pytest

from vorn_sandbox import base, errors, models
from vorn_sandbox.template import models as template_models


def interned(keys):
    return [key for key in keys if sys.intern(key) is not key]


def test_model_fields_and_instance_dicts():
    result = models.ExecutionResult.create(models.ExecutionStatus.SUCCESS, "print(1)")
    assert interned(vars(result)) == []
    assert interned(models.ExecutionResult.__annotations__) == []
    assert interned(vars(template_models.TemplateSpec(template_id="t"))) == []


@pytest.mark.parametrize("cls", [models.ExecutionResult, models.CommandResult, base.BaseSandbox,
                                 errors.CodeInterpreterError, errors.Stage, models.ExecutionStatus])
def test_class_namespaces(cls):
    assert interned(vars(cls)) == []


def test_enum_member_names_and_function_attributes():
    assert interned(member.name for member in errors.Stage) == []
    function = base.BaseSandbox.download_file
    assert interned(vars(function)) == [] and interned(function.__annotations__) == []
