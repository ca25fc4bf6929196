"""E2BTemplateBuilder's recipe and SDK keywords, seen through a recording stand-in for `Template`.

The builds themselves, the usability checks and the default alias run against
the local service in test_e2b_template.py.
"""

import logging
import typing

import pytest
from e2b.template.main import TemplateBuilder
from pydantic import SecretStr

import vorn_sandbox.template.e2b as template_module
from vorn_sandbox.template.e2b import E2BTemplateBuilder
from vorn_sandbox.template.models import (AwsAuth, BasicAuth, GcpAuth, RegistryAuth, SandboxProvider,
                                          TemplateBuildResult, TemplateBuildStatus, TemplateSpec)

LOGGER = "vorn_sandbox.template.e2b"


class Recorder:
    """A template definition that records each step; class-level calls answer from `answers`."""

    log: list = []
    answers: dict = {}

    def __init__(self):
        Recorder.log.append(("Template",))

    def __getattr__(self, name):
        def step(*args, **kwargs):
            Recorder.log.append((name, args, kwargs))
            return self

        return step

    @classmethod
    def _answer(cls, name, args, kwargs):
        cls.log.append((name, args, kwargs))
        answer = cls.answers.get(name)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    @classmethod
    def exists(cls, *args, **kwargs):
        return cls._answer("exists", args, kwargs)

    @classmethod
    def get_tags(cls, *args, **kwargs):
        return cls._answer("get_tags", args, kwargs)

    @classmethod
    def build(cls, *args, **kwargs):
        return cls._answer("build", args, kwargs)


@pytest.fixture
def sdk(monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    Recorder.log, Recorder.answers = [], {}
    monkeypatch.setattr(template_module, "Template", Recorder)
    monkeypatch.setattr(template_module, "wait_for_port", lambda port: f"ready:{port}")
    monkeypatch.setattr(template_module, "default_build_logger", lambda: "build-logger")
    return Recorder


def steps(sdk):
    return [entry for entry in sdk.log if entry[0] not in ("exists", "get_tags", "build")]


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == level]


@pytest.mark.parametrize(
    "fields, expected",
    [
        ({"image": "img:base", "dockerfile": "FROM x"},
         [("Template",), ("from_image", ("img:base",), {}),
          ("set_start_cmd", ("sudo /root/.jupyter/start-up.sh", "ready:49999"), {})]),
        ({"image": "", "dockerfile": "FROM x", "registry_auth": BasicAuth(username="u", password="p")},
         [("Template",), ("from_dockerfile", ("FROM x",), {})]),
        ({"dockerfile": "FROM x", "start_cmd": "serve"},
         [("Template",), ("from_dockerfile", ("FROM x",), {}), ("set_start_cmd", ("serve", "ready:49999"), {})]),
        ({"base_template": "base-alias", "ready_cmd": "true"},
         [("Template",), ("from_template", ("base-alias",), {})]),
        ({"image": "img", "start_cmd": "", "ready_cmd": "check", "packages": ["numpy", "pandas>=2"]},
         [("Template",), ("from_image", ("img",), {}), ("run_cmd", ("pip install -q numpy 'pandas>=2'",), {}),
          ("set_start_cmd", ("sudo /root/.jupyter/start-up.sh", "check"), {})]),
    ],
)
def test_recipe_steps(sdk, fields, expected):
    result = E2BTemplateBuilder().build(TemplateSpec(template_id="t", **fields))
    assert result.status is TemplateBuildStatus.SUCCESS
    assert steps(sdk) == expected


@pytest.mark.parametrize(
    "auth, call",
    [
        (BasicAuth(username="u", password="pw"), ("from_image", ("img",), {"username": "u", "password": "pw"})),
        (AwsAuth(access_key_id="AK", secret_access_key="SK", region="eu-west-1"),
         ("from_aws_registry", ("img",), {"access_key_id": "AK", "secret_access_key": "SK", "region": "eu-west-1"})),
        # The SDK reads a str as the path of a key file: the key goes as its parsed JSON.
        (GcpAuth(service_account_json='{"k": 1}'), ("from_gcp_registry", ("img",), {"service_account_json": {"k": 1}})),
    ],
)
def test_registry_credentials_are_revealed_only_to_the_sdk(sdk, caplog, auth, call):
    E2BTemplateBuilder().build(TemplateSpec(template_id="t", image="img", registry_auth=auth))
    assert steps(sdk)[1] == call
    secret = call[2].get("password") or call[2].get("secret_access_key") or '{"k": 1}'
    assert all(secret not in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("given", ["not json", '["a", "list"]', '"a string"'])
def test_gcp_credentials_without_a_json_object_fail_the_build(sdk, given):
    result = E2BTemplateBuilder().build(
        TemplateSpec(template_id="t", image="img", registry_auth=GcpAuth(service_account_json=given)))
    assert result.status is TemplateBuildStatus.FAILED
    assert result.detail.startswith("template creation failed: GCP service_account_json ")
    assert "from_gcp_registry" not in [entry[0] for entry in sdk.log]


def test_unknown_credentials_fail_the_build(sdk):
    spec = TemplateSpec.model_construct(template_id="t", image="img", registry_auth=SecretStr("x"), force_rebuild=False)
    result = E2BTemplateBuilder().build(spec)
    assert result.status is TemplateBuildStatus.FAILED
    assert result.detail == "template creation failed: Unsupported registry auth: SecretStr"
    # Refused before any template definition is started.
    assert [e for e in sdk.log if e[0] in ("Template", "build")] == []


@pytest.mark.parametrize(
    "options, expected",
    [({}, {}), ({"api_key": ""}, {"api_key": ""}), ({"api_key": "k", "domain": "d"}, {"api_key": "k", "domain": "d"})],
)
def test_api_options_reach_only_the_class_level_calls(sdk, options, expected):
    sdk.answers = {"exists": True, "get_tags": ["v1"]}
    builder = E2BTemplateBuilder(**options)
    assert builder.is_usable("t") is True
    builder.build(TemplateSpec(template_id="t", image="img"))
    calls = {e[0]: e for e in sdk.log if e[0] in ("exists", "get_tags", "build")}
    assert calls["exists"][1:] == (("t",), expected)
    assert calls["get_tags"][1:] == (("t",), expected)
    assert calls["build"][2] == {"alias": "t", "on_build_logs": "build-logger", **expected}
    assert all("api_key" not in e[2] and "domain" not in e[2] for e in steps(sdk)[1:])


@pytest.mark.parametrize(
    "answers, usable, warning",
    [
        ({"exists": False}, False, None),
        ({"exists": RuntimeError("down")}, False, "E2B template exists check failed for 't': down"),
        ({"exists": True, "get_tags": []}, False, None),
        ({"exists": True, "get_tags": RuntimeError("tags down")}, False, "E2B template tag check failed for 't': tags down"),
    ],
)
def test_usability_checks_never_raise(sdk, caplog, answers, usable, warning):
    sdk.answers = answers
    assert E2BTemplateBuilder().is_usable("t") is usable
    assert messages(caplog, logging.WARNING) == ([warning] if warning else [])
    if answers.get("exists") is not True:
        assert "get_tags" not in [e[0] for e in sdk.log]


def test_build_failures_are_results(sdk, caplog):
    sdk.answers = {"build": RuntimeError("no space")}
    result = E2BTemplateBuilder().build(TemplateSpec(template_id="t", image="img"))
    assert (result.status, result.detail, result.template_ref, result.stage) == (
        TemplateBuildStatus.FAILED, "build failed: no space", None, None)
    empty = E2BTemplateBuilder().build(TemplateSpec(template_id="t"))
    assert empty.detail == "template creation failed: E2B build requires 'image' (or deprecated 'dockerfile'/'base_template')"
    assert messages(caplog, logging.WARNING) == [
        "E2B template build failed for 't': no space",
        "E2B template creation failed for 't': E2B build requires 'image' (or deprecated 'dockerfile'/'base_template')"]


def test_builder_surface(sdk):
    builder = E2BTemplateBuilder(api_key="k")
    assert builder.provider is SandboxProvider.E2B and builder.supports_build is True
    assert builder._api_opts() == {"api_key": "k"}
    with pytest.raises(TypeError):
        E2BTemplateBuilder("k")


@pytest.mark.parametrize(
    "function, hints",
    [
        (E2BTemplateBuilder.__init__, {"api_key": str | None, "domain": str | None, "return": type(None)}),
        (E2BTemplateBuilder.provider.fget, {"return": SandboxProvider}),
        (E2BTemplateBuilder.supports_build.fget, {"return": bool}),
        (E2BTemplateBuilder.is_usable, {"template_id": str, "return": bool}),
        (E2BTemplateBuilder._alias_exists, {"template_id": str, "return": bool}),
        (E2BTemplateBuilder.build, {"spec": TemplateSpec, "return": TemplateBuildResult}),
        (E2BTemplateBuilder.ensure_default, {"return": str | None}),
        (E2BTemplateBuilder._create_template, {"spec": TemplateSpec, "return": TemplateBuilder}),
        (E2BTemplateBuilder._from_registry, {"image": str, "auth": RegistryAuth | None, "return": TemplateBuilder}),
        (E2BTemplateBuilder._api_opts, {"return": dict[str, typing.Any]}),
        (E2BTemplateBuilder._failed, {"detail": str, "return": TemplateBuildResult}),
    ],
    ids=lambda value: getattr(value, "__qualname__", ""),
)
def test_annotations(function, hints):
    assert typing.get_type_hints(function, include_extras=True) == hints
