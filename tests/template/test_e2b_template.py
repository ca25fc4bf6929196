"""E2BTemplateBuilder against the local E2B service's template registry, through the real SDK."""

import logging
import uuid

import pytest

from vorn_sandbox.template.e2b import E2BTemplateBuilder
from vorn_sandbox.template.models import SandboxProvider, TemplateBuildStatus, TemplateSpec

LOGGER = "vorn_sandbox.template.e2b"
DEFAULT_ALIAS = "vornsandbox-base"


@pytest.fixture
def builder(e2b_local, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    return E2BTemplateBuilder()


def fresh_alias():
    return "t-" + uuid.uuid4().hex[:10]


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == level]


def test_image_build_records_the_recipe_and_becomes_usable(builder, e2b_local, caplog):
    alias = fresh_alias()
    assert builder.is_usable(alias) is False
    result = builder.build(TemplateSpec(template_id=alias, image="docker.io/library/python:3.13", packages=["six"]))
    assert result.status is TemplateBuildStatus.SUCCESS and result.detail == ""
    assert (result.template_ref.provider, result.template_ref.value) == (SandboxProvider.E2B, alias)
    assert builder.is_usable(alias) is True
    recipe = e2b_local.templates.recipe(alias)
    assert recipe["fromImage"] == "docker.io/library/python:3.13"
    assert recipe["startCmd"] == "sudo /root/.jupyter/start-up.sh"
    assert any("pip install -q six" in " ".join(step.get("args") or []) for step in recipe["steps"])
    assert messages(caplog, logging.INFO)[-1] == f"E2B template built: {alias}"


def test_ensure_skips_a_usable_alias_unless_forced(builder, e2b_local):
    alias = fresh_alias()
    first = builder.ensure(TemplateSpec(template_id=alias, base_template="base"))
    assert first.status is TemplateBuildStatus.SUCCESS
    again = builder.ensure(TemplateSpec(template_id=alias, base_template="base"))
    assert (again.status, again.detail) == (TemplateBuildStatus.SKIPPED, "already usable")
    forced = builder.ensure(TemplateSpec(template_id=alias, base_template="base", force_rebuild=True))
    assert forced.status is TemplateBuildStatus.SUCCESS
    assert len(e2b_local.templates.builds(alias)) == 2


def test_a_failed_build_is_a_result_and_the_alias_stays_unusable(builder, e2b_local, caplog):
    alias = fresh_alias()
    e2b_local.fail("build", 1, message="image pull failed")
    result = builder.ensure(TemplateSpec(template_id=alias, image="img:base"))
    assert result.status is TemplateBuildStatus.FAILED and result.template_ref is None
    assert result.detail.startswith("build failed: ") and "image pull failed" in result.detail
    assert builder.is_usable(alias) is False
    assert messages(caplog, logging.WARNING)[0].startswith(f"E2B template build failed for '{alias}': ")


def test_a_failing_service_makes_checks_answer_false(builder, e2b_local, caplog, monkeypatch):
    monkeypatch.setenv("E2B_API_URL", "http://127.0.0.1:9")
    assert builder.is_usable("anything") is False
    assert messages(caplog, logging.WARNING)[0].startswith("E2B template exists check failed for 'anything': ")


def test_ensure_default_builds_once_then_skips(builder, e2b_local, caplog):
    e2b_local.templates.remove(DEFAULT_ALIAS)
    assert builder.ensure_default() == DEFAULT_ALIAS
    recipe = e2b_local.templates.recipe(DEFAULT_ALIAS)
    assert recipe["startCmd"] == "sudo /root/.jupyter/start-up.sh"
    assert recipe["fromImage"].endswith(":base")
    assert builder.ensure_default() == DEFAULT_ALIAS
    assert len(e2b_local.templates.builds(DEFAULT_ALIAS)) == 1


def test_ensure_default_falls_back_to_none_after_a_failed_build(builder, e2b_local, caplog):
    e2b_local.templates.remove(DEFAULT_ALIAS)
    e2b_local.fail("build", 1, message="no disk")
    assert builder.ensure_default() is None
    warning = messages(caplog, logging.WARNING)[-1]
    assert warning.startswith(f"Could not ensure default E2B template '{DEFAULT_ALIAS}' (failed: build failed: ")
    assert warning.endswith("); falling back to E2B's default template")
