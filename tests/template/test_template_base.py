"""The template-builder contract and its never-raising ``ensure``."""

import abc
import inspect
import logging

import pytest

from vorn_sandbox.errors import SandboxStartError, Stage
from vorn_sandbox.template.base import BaseTemplateBuilder
from vorn_sandbox.template.models import (
    SandboxProvider, TemplateBuildResult, TemplateBuildStatus, TemplateRef, TemplateSpec,
)

St = TemplateBuildStatus
LOGGER = "vorn_sandbox.template.base"


class FakeBuilder(BaseTemplateBuilder):
    """Scripted builder: ``usable`` answers the usability checks in turn, ``outcome`` is built."""

    def __init__(self, usable=(), outcome=None, provider=SandboxProvider.OPENSANDBOX):
        self.usable = list(usable)
        self.outcome = outcome
        self._provider = provider
        self.calls = []

    @property
    def provider(self):
        return self._provider

    @property
    def supports_build(self):
        return True

    def is_usable(self, template_id):
        self.calls.append(("is_usable", template_id))
        answer = self.usable.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def build(self, spec):
        self.calls.append(("build", spec.template_id))
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


def template(force=False):
    return TemplateSpec(template_id="tpl-1", image="img:1", force_rebuild=force)


def warnings_of(caplog):
    return [r for r in caplog.records if r.name == LOGGER]


def test_interface_shape():
    assert BaseTemplateBuilder.__bases__ == (abc.ABC,)
    abstract = ("provider", "supports_build", "is_usable", "build")
    assert BaseTemplateBuilder.__abstractmethods__ == frozenset(abstract)
    for name, params in [("is_usable", ["self", "template_id"]), ("build", ["self", "spec"]),
                         ("ensure", ["self", "spec"]), ("_resolve_ref", ["self", "template_id"]),
                         ("_make_ref", ["self", "value"]), ("_skipped", ["self", "value", "detail"])]:
        assert list(inspect.signature(getattr(BaseTemplateBuilder, name)).parameters) == params
    for missing in abstract:
        ns = {k: v for k, v in vars(FakeBuilder).items() if k in abstract and k != missing}
        with pytest.raises(TypeError):
            type("Partial", (BaseTemplateBuilder,), ns)()


def test_abstract_bodies_raise_bare_not_implemented():
    b = FakeBuilder()
    assert isinstance(inspect.getattr_static(BaseTemplateBuilder, "provider"), property)
    for call in (lambda: BaseTemplateBuilder.provider.fget(b),
                 lambda: BaseTemplateBuilder.supports_build.fget(b),
                 lambda: BaseTemplateBuilder.is_usable(b, "t"),
                 lambda: BaseTemplateBuilder.build(b, template())):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()


def test_usable_template_is_skipped_without_build(caplog):
    b = FakeBuilder(usable=[True])
    result = b.ensure(template())
    assert result.status is St.SKIPPED and result.detail == "already usable"
    assert result.template_ref == TemplateRef(provider=SandboxProvider.OPENSANDBOX, value="tpl-1")
    b._provider = SandboxProvider.E2B  # the provider is read on every call
    assert b._make_ref("x") == TemplateRef(provider=SandboxProvider.E2B, value="x")
    assert (result.stage, result.logs) == (None, "")
    assert b.calls == [("is_usable", "tpl-1")]
    assert warnings_of(caplog) == []


def test_resolve_ref_uses_truthiness_and_none_identity():
    for answer in (1, "yes", ["x"]):
        assert FakeBuilder(usable=[answer])._resolve_ref("h") == "h"
    assert FakeBuilder(usable=[0])._resolve_ref("h") is None

    class EmptyRef(FakeBuilder):
        def _resolve_ref(self, template_id):
            return ""

    result = EmptyRef().ensure(template())  # an empty reference is still a reference
    assert result.status is St.SKIPPED and result.template_ref.value == ""


@pytest.mark.parametrize("status", [St.SUCCESS, St.UNSUPPORTED, St.SKIPPED])
def test_build_result_is_returned_as_is(status, caplog):
    outcome = TemplateBuildResult(status=status, detail="from build")
    b = FakeBuilder(usable=[False, True], outcome=outcome)
    assert b.ensure(template()) is outcome
    assert b.calls == [("is_usable", "tpl-1"), ("build", "tpl-1")]
    assert warnings_of(caplog) == []


def test_forced_build_skips_every_usability_check():
    outcome = TemplateBuildResult(status=St.FAILED, detail="broken")
    b = FakeBuilder(usable=[True, True], outcome=outcome)
    assert b.ensure(template(force=True)) is outcome
    assert b.calls == [("build", "tpl-1")]


def test_failed_build_is_rechecked_for_a_concurrent_winner(caplog):
    failed = TemplateBuildResult(status=St.FAILED, detail="lost race", stage=Stage.CREATE, logs="log")
    b = FakeBuilder(usable=[False, True], outcome=failed)
    result = b.ensure(template())
    assert result.status is St.SKIPPED
    assert result.detail == "usable after failed build (concurrent build?)"
    assert (result.stage, result.logs, result.template_ref.value) == (None, "", "tpl-1")
    assert b.calls == [("is_usable", "tpl-1"), ("build", "tpl-1"), ("is_usable", "tpl-1")]

    still_broken = FakeBuilder(usable=[False, False], outcome=failed)
    assert still_broken.ensure(template()) is failed
    assert warnings_of(caplog) == []


@pytest.mark.parametrize(
    ("usable", "outcome", "message", "stage"),
    [
        ([False], SandboxStartError("quota exceeded", stage=Stage.CREATE), "quota exceeded", Stage.CREATE),
        ([False], ValueError("bad image"), "bad image", Stage.TEMPLATE_BUILD),
        ([ValueError("api down")], None, "api down", Stage.TEMPLATE_BUILD),
        ([False, RuntimeError("recheck broke")], TemplateBuildResult(status=St.FAILED), "recheck broke",
         Stage.TEMPLATE_BUILD),
        ([False], RuntimeError(), "", Stage.TEMPLATE_BUILD),
    ],
)
def test_exceptions_become_failed_results(usable, outcome, message, stage, caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    result = FakeBuilder(usable=usable, outcome=outcome).ensure(template())
    assert result.status is St.FAILED and result.template_ref is None
    assert result.detail == message and result.stage is stage and result.logs == ""

    (record,) = warnings_of(caplog)
    assert record.levelno == logging.WARNING
    assert record.getMessage() == f"ensure failed for template 'tpl-1': {message}"
    assert record.error_code is stage
    assert record.exc_info and str(record.exc_info[1]) == message


def test_warning_quotes_the_handle_with_repr(caplog):
    FakeBuilder(usable=[False], outcome=KeyError("k")).ensure(TemplateSpec(template_id="it's"))
    assert [r.getMessage() for r in warnings_of(caplog)] == ["ensure failed for template \"it's\": 'k'"]


def test_non_exception_interrupts_pass_through(caplog):
    b = FakeBuilder(usable=[False], outcome=KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        b.ensure(template())
    assert warnings_of(caplog) == []


# --- gaps: the warning's exact call, the unguarded handler, other exits -----


class Recorder:
    def __init__(self, fail=None):
        self.calls, self.fail = [], fail

    def warning(self, message, **kwargs):
        self.calls.append((message, kwargs))
        if self.fail is not None:
            raise self.fail


def test_warning_goes_through_the_module_logger_with_exact_arguments(monkeypatch):
    import vorn_sandbox.template.base as base_module

    recorder = Recorder()
    monkeypatch.setattr(base_module, "logger", recorder)  # looked up at call time

    class Sub(FakeBuilder):
        pass

    result = Sub(usable=[False], outcome=SandboxStartError("boom", stage=Stage.CREATE)).ensure(template())
    assert result.status is St.FAILED and result.stage is Stage.CREATE
    assert recorder.calls == [("ensure failed for template 'tpl-1': boom",
                               {"exc_info": True, "extra": {"error_code": Stage.CREATE}})]
    assert recorder.calls[0][1]["extra"]["error_code"] is Stage.CREATE


def test_record_carries_the_exception_and_its_traceback(caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)
    error = ValueError("bad")
    FakeBuilder(usable=[False], outcome=error).ensure(template())
    (record,) = warnings_of(caplog)
    assert record.exc_info[0] is ValueError and record.exc_info[1] is error
    assert record.exc_info[2] is not None and record.exc_info[2] is error.__traceback__


def test_failure_while_making_the_skipped_result_becomes_failed(caplog):
    class BrokenProvider(FakeBuilder):
        @property
        def provider(self):
            raise LookupError("no provider")

    result = BrokenProvider(usable=[True]).ensure(template())
    assert (result.status, result.detail, result.stage) == (St.FAILED, "no provider", Stage.TEMPLATE_BUILD)
    assert len(warnings_of(caplog)) == 1


def test_the_handler_itself_is_not_guarded(monkeypatch):
    import vorn_sandbox.template.base as base_module

    logging_failure = OSError("log sink down")
    monkeypatch.setattr(base_module, "logger", Recorder(fail=logging_failure))
    original = ValueError("bad image")
    with pytest.raises(OSError) as info:
        FakeBuilder(usable=[False], outcome=original).ensure(template())
    assert info.value is logging_failure and info.value.__context__ is original


@pytest.mark.parametrize("interrupt", [SystemExit(3), GeneratorExit()])
def test_other_base_exceptions_pass_through_unchanged(interrupt, caplog):
    with pytest.raises(type(interrupt)) as info:
        FakeBuilder(usable=[interrupt]).ensure(template())
    assert info.value is interrupt
    assert warnings_of(caplog) == []


def test_ensure_leaves_no_handled_exception_behind():
    import sys

    FakeBuilder(usable=[False], outcome=ValueError("x")).ensure(template())
    assert sys.exc_info() == (None, None, None)
    try:
        raise KeyError("outer")
    except KeyError as outer:
        FakeBuilder(usable=[False], outcome=ValueError("x")).ensure(template())
        assert sys.exc_info()[1] is outer
