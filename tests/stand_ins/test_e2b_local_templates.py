"""The template registry of the local E2B service, through the SDK's
synchronous Template calls (which read the service's address from the
environment that the fixture sets)."""

import threading
import time

import pytest
from e2b import Template, wait_for_port
from e2b.exceptions import BuildException, TemplateException
from e2b_code_interpreter import AsyncSandbox


def _recipe():
    return (
        Template()
        .from_image("docker.io/example/sandbox:base")
        .run_cmd("pip install -q numpy 'pandas>=2'")
        .set_start_cmd("sudo /root/.jupyter/start-up.sh", wait_for_port(49999))
    )


async def test_build_records_the_recipe_and_makes_the_alias_usable(e2b_local):
    assert not Template.exists("local-recipe")
    Template.build(_recipe(), alias="local-recipe")
    assert Template.exists("local-recipe")
    assert [tag.tag for tag in Template.get_tags("local-recipe")] == ["default"]
    recipe = e2b_local.templates.recipe("local-recipe")
    assert recipe["fromImage"] == "docker.io/example/sandbox:base"
    assert recipe["startCmd"] == "sudo /root/.jupyter/start-up.sh"
    assert "49999" in recipe["readyCmd"]
    assert [step["args"] for step in recipe["steps"] if step["type"] == "RUN"] == [
        ["pip install -q numpy 'pandas>=2'"]
    ]
    handle = await AsyncSandbox.create(template="local-recipe", timeout=30)
    await handle.kill()
    e2b_local.templates.remove("local-recipe")


async def test_failed_build_leaves_an_alias_without_tags(e2b_local):
    e2b_local.fail("build", message="image pull failed")
    with pytest.raises(BuildException, match="image pull failed"):
        Template.build(_recipe(), alias="local-broken")
    assert Template.exists("local-broken")
    assert Template.get_tags("local-broken") == []
    with pytest.raises(Exception, match="no successful build"):
        await AsyncSandbox.create(template="local-broken", timeout=30)
    e2b_local.templates.remove("local-broken")


def test_builds_take_the_configured_delay_or_wait_for_release(e2b_local):
    e2b_local.build_delay = 0.5
    started = time.monotonic()
    Template.build(_recipe(), alias="local-slow")
    assert time.monotonic() - started >= 0.5
    e2b_local.build_delay = 0.0
    e2b_local.hang("build")
    threading.Timer(0.6, e2b_local.release).start()
    started = time.monotonic()
    Template.build(_recipe(), alias="local-slow")
    assert time.monotonic() - started >= 0.6
    assert len([b for b in e2b_local.templates.builds("local-slow") if b.status == "ready"]) == 2
    e2b_local.templates.remove("local-slow")


def test_unknown_templates_do_not_exist_and_have_no_tags(e2b_local):
    assert Template.exists("code-interpreter-v1")
    assert not Template.exists("never-built")
    with pytest.raises(TemplateException):
        Template.get_tags("never-built")


async def test_unknown_template_refuses_creation(e2b_local):
    with pytest.raises(Exception, match="not found"):
        await AsyncSandbox.create(template="never-built", timeout=30)


async def test_tagged_builds_are_reachable_by_their_tag_only(e2b_local):
    Template.build(_recipe(), "local-tagged:v1", tags=["stable"])
    assert sorted(tag.tag for tag in Template.get_tags("local-tagged")) == ["stable", "v1"]
    handle = await AsyncSandbox.create(template="local-tagged:v1", timeout=30)
    await handle.kill()
    with pytest.raises(Exception, match="no successful build"):
        await AsyncSandbox.create(template="local-tagged:v2", timeout=30)
    e2b_local.templates.remove("local-tagged")
