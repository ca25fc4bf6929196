"""The Bedrock template builder: UNSUPPORTED for everything, without any AWS package."""

import subprocess
import sys
import textwrap

import pytest

from vorn_sandbox.template.base import BaseTemplateBuilder
from vorn_sandbox.template.bedrock import _UNSUPPORTED_DETAIL, BedrockTemplateBuilder
from vorn_sandbox.template.models import (AwsAuth, SandboxProvider, TemplateBuildResult, TemplateBuildStatus,
                                          TemplateSpec)

UNSUPPORTED = TemplateBuildResult(status=TemplateBuildStatus.UNSUPPORTED, detail=_UNSUPPORTED_DETAIL)


def test_members():
    builder = BedrockTemplateBuilder()
    assert isinstance(builder, BaseTemplateBuilder)
    assert builder.provider is SandboxProvider.BEDROCK and builder.provider == "bedrock"
    assert builder.supports_build is False
    assert _UNSUPPORTED_DETAIL == ("Bedrock AgentCore has no template mechanism; install packages per session "
                                   "via BedrockAgentCoreSandbox.execute_command('pip install ...').")
    for name in ("provider", "supports_build"):
        assert isinstance(vars(BedrockTemplateBuilder)[name], property)


@pytest.mark.parametrize("template_id", ["", "anything", "aws.codeinterpreter.v1"])
def test_nothing_is_usable(template_id):
    assert BedrockTemplateBuilder().is_usable(template_id) is False


@pytest.mark.parametrize("force_rebuild", [False, True])
def test_build_and_ensure_answer_unsupported(force_rebuild):
    spec = TemplateSpec(template_id="t", image="img", packages=["pandas"], force_rebuild=force_rebuild,
                        registry_auth=AwsAuth(access_key_id="k", secret_access_key="s", region="us-east-1"))
    builder = BedrockTemplateBuilder()
    built = builder.build(spec)
    assert built == UNSUPPORTED and built.template_ref is None and built.stage is None and built.logs == ""
    assert built is not builder.build(spec)
    assert builder.ensure(spec) == UNSUPPORTED


def test_imports_without_any_aws_package():
    program = textwrap.dedent("""
        import sys
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in {"aioboto3", "aiobotocore", "boto3", "botocore"}:
                    raise ImportError("blocked: " + name)
        sys.meta_path.insert(0, Refuse())
        from vorn_sandbox.template.bedrock import BedrockTemplateBuilder
        from vorn_sandbox.template.models import TemplateSpec
        print(BedrockTemplateBuilder().ensure(TemplateSpec(template_id="t")).status.value)
        loaded = sorted(m for m in sys.modules if m.split(".")[0] in {"aioboto3", "boto3", "botocore"}
                        or m == "vorn_sandbox.code_interpreter.bedrock")
        print(loaded)
    """)
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["unsupported", "[]"]
