"""Stages, the error family and its derived transient verdict."""

import enum
import inspect
import os
import pickle
import subprocess
import sys

import pytest

from vorn_sandbox import errors
from vorn_sandbox.base import BaseSandbox
from vorn_sandbox.errors import (
    CodeInterpreterError, SandboxExecutionError, SandboxNotInitializedError, SandboxStartError,
    SandboxTerminateError, Stage, TemplateBuildError,
)

STAGES = [
    ("SNAPSHOT_RESOLVE", "snapshot_resolve"), ("CREATE", "create"), ("GET_INFO", "get_info"),
    ("EXECD_PROBE", "execd_probe"), ("JUPYTER_PROBE", "jupyter_probe"),
    ("INTERPRETER_INIT", "interpreter_init"), ("SESSION_START", "session_start"),
    ("PROCESS_START", "process_start"), ("TEMPLATE_BUILD", "template_build"),
    ("PACKAGE_INSTALL", "package_install"), ("EXECUTION", "execution"), ("TERMINATE", "terminate"),
    ("DOWNLOAD", "download"), ("NOT_INITIALIZED", "not_initialized"),
]
STAGED = [CodeInterpreterError, TemplateBuildError, SandboxStartError,
          SandboxExecutionError, SandboxTerminateError]


def start_error(cause=None, **kwargs):
    """A ``SandboxStartError`` raised from ``cause`` as a raise site would."""
    try:
        raise SandboxStartError("start failed", stage=Stage.CREATE, **kwargs) from cause
    except SandboxStartError as err:
        return err


def test_stage_members_and_string_behaviour():
    assert issubclass(Stage, enum.StrEnum)
    assert [(m.name, m.value) for m in Stage] == STAGES
    assert Stage("download") is Stage.DOWNLOAD
    assert Stage.DOWNLOAD == "download" and str(Stage.DOWNLOAD) == f"{Stage.DOWNLOAD}" == "download"
    assert pickle.loads(pickle.dumps(Stage.CREATE)) is Stage.CREATE
    with pytest.raises(ValueError):
        Stage("downloading")


def test_family_hierarchy_and_constructor_signature():
    assert CodeInterpreterError.__bases__ == (RuntimeError,)
    for cls in STAGED[1:] + [SandboxNotInitializedError]:
        assert cls.__bases__ == (CodeInterpreterError,)
    P = inspect.Parameter
    assert [(p.name, p.kind, p.default) for p in inspect.signature(CodeInterpreterError).parameters.values()] == [
        ("message", P.POSITIONAL_OR_KEYWORD, P.empty),
        ("stage", P.KEYWORD_ONLY, P.empty),
        ("classifier", P.KEYWORD_ONLY, None),
    ]


@pytest.mark.parametrize("cls", STAGED)
def test_constructor(cls):
    err = cls("boom", stage=Stage.CREATE)
    assert err.args == ("boom",) and str(err) == "boom"
    assert err.stage is Stage.CREATE and err._classifier is None
    assert cls(message="kw", stage=Stage.TERMINATE).args == ("kw",)
    assert cls("m", stage="anything").stage == "anything"  # stored, not validated
    for bad in (lambda: cls("no stage"), lambda: cls("m", Stage.CREATE),
                lambda: cls("m", stage=Stage.CREATE, code=3)):
        with pytest.raises(TypeError):
            bad()


def test_not_initialized_error():
    err = SandboxNotInitializedError()
    assert err.args == ("Sandbox is not initialized",) and str(err) == "Sandbox is not initialized"
    assert err.stage is Stage.NOT_INITIALIZED and err.transient is False

    own = SandboxNotInitializedError("no sandbox yet", stage=Stage.CREATE)
    assert str(own) == "no sandbox yet" and own.stage is Stage.NOT_INITIALIZED

    seen = []
    classified = SandboxNotInitializedError(classifier=lambda e: seen.append(e) or True)
    assert classified.transient is True and seen == [classified]

    for bad in (lambda: SandboxNotInitializedError(retries=2),
                lambda: SandboxNotInitializedError("m", Stage.CREATE)):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize(
    ("cause", "expected"),
    [(None, False), (TimeoutError("t"), True), (ConnectionResetError("reset"), True),
     (OSError("plain"), False), (ValueError("v"), False)],
)
def test_transient_with_default_test(cause, expected):
    assert start_error(cause).transient is expected


def test_transient_walks_causes_but_not_context():
    inner = ValueError("wrapper")
    inner.__cause__ = ConnectionError("down")
    assert start_error(inner).transient is True

    try:
        try:
            raise TimeoutError("only context")
        except TimeoutError:
            raise SandboxStartError("m", stage=Stage.CREATE)
    except SandboxStartError as err:
        assert isinstance(err.__context__, TimeoutError) and err.__cause__ is None
        assert err.transient is False


def test_transient_is_derived_on_every_read_and_read_only():
    err = SandboxTerminateError("m", stage=Stage.TERMINATE)
    assert err.transient is False
    err.__cause__ = TimeoutError()
    assert err.transient is True
    with pytest.raises(AttributeError):
        err.transient = False


def test_classifier_order_and_truthiness():
    cause, root = OSError("provider"), KeyError("root")
    cause.__cause__ = root
    answers = {SandboxStartError: None, OSError: 0, KeyError: 1}
    calls = []

    def test(exc):
        calls.append(exc)
        return answers[type(exc)]

    err = start_error(cause, classifier=test)
    assert err.transient is True and calls == [err, cause, root]

    answers[KeyError] = 0
    calls.clear()
    assert err.transient is False and len(calls) == 3

    answers[SandboxStartError] = True  # the first transient answer ends the walk
    calls.clear()
    assert err.transient is True and calls == [err]


def test_classifier_edge_values():
    def failing(exc):
        raise KeyError("classifier broke")

    with pytest.raises(KeyError):
        _ = start_error(classifier=failing).transient
    assert start_error(TimeoutError(), classifier=0).transient is True  # falsy: default test
    odd = start_error(TimeoutError(), classifier="not callable")  # stored without complaint
    with pytest.raises(TypeError):
        _ = odd.transient


def test_default_test_is_the_sandbox_root_predicate(monkeypatch):
    assert errors._default_classifier(TimeoutError()) is True
    assert errors._default_classifier(exc=RuntimeError()) is False
    monkeypatch.setattr(
        BaseSandbox, "_is_transient_create_error", classmethod(lambda cls, exc: isinstance(exc, KeyError))
    )
    assert start_error(KeyError()).transient is True
    assert start_error(TimeoutError()).transient is False


def test_cyclic_cause_chain_ends_the_walk():
    calls = []

    def test(exc):
        calls.append(exc)
        if len(calls) > 50:
            raise AssertionError("transient walk does not end on a cyclic chain")
        return isinstance(exc, TimeoutError)

    err = SandboxStartError("m", stage=Stage.CREATE, classifier=test)
    other = ValueError("other")
    err.__cause__, other.__cause__ = other, err
    assert err.transient is False and calls == [err, other]

    looped = ValueError("loop")  # a transient exception met before the loop closes still counts
    looped.__cause__ = TimeoutError()
    looped.__cause__.__cause__ = looped
    err.__cause__ = looped
    assert err.transient is True


def test_cyclic_cause_chain_with_default_test_terminates():
    code = (
        "from vorn_sandbox.errors import SandboxStartError, Stage\n"
        "err = SandboxStartError('m', stage=Stage.CREATE)\n"
        "err.__cause__ = err\n"
        "a, b = SandboxStartError('a', stage=Stage.CREATE), ValueError('b')\n"
        "a.__cause__, b.__cause__ = b, a\n"
        "print(err.transient, a.transient)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "False"]
