"""Shared defaults, message templates and provider configuration values."""

import enum
import inspect

import pytest

from vorn_sandbox import constants as c


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("DEFAULT_UPLOAD_DIR", "/files"),
        ("DEFAULT_EXECUTION_TIMEOUT", 30),
        ("DEFAULT_INSTALL_TIMEOUT", 300),
        ("DEFAULT_SANDBOX_TIMEOUT", 600),
        ("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", 10),
        ("DEFAULT_DOWNLOAD_TIMEOUT", 30),
        ("DOWNLOAD_TIMEOUT_MESSAGE", "Download of {} exceeded timeout of {} seconds"),
    ],
)
def test_module_defaults(name, expected):
    value = getattr(c, name)
    assert value == expected
    # time limits are whole seconds: int, never float (nor bool)
    assert type(value) is type(expected)


@pytest.mark.parametrize(
    ("enum_cls", "members"),
    [("Language", [("PYTHON", "python")]),
     ("BedrockAgentCoreSandboxContentType",
      [("TEXT", "text"), ("IMAGE", "image"), ("RESOURCE", "resource"), ("BLOB", "blob")])],
)
def test_string_enumerations(enum_cls, members):
    cls = getattr(c, enum_cls)
    assert issubclass(cls, enum.StrEnum)
    assert [(m.name, m.value) for m in cls] == members
    for name, value in members:
        member = getattr(cls, name)
        assert member == value and member != value.upper() and str(member) == f"{member}" == value
        assert cls(value) is member
    with pytest.raises(ValueError):
        cls("python3")


DASH = "\u2014"

MESSAGES = [
    ("PackageInstallErrorMessage", "UNSUPPORTED_LANGUAGE",
     "`additional_packages` cannot install packages for language '{}': automatic installs "
     "cover Python (pip) only. The sandbox still executes '{}' normally " + DASH
     + " install packages yourself via `execute_command(...)`."),
    ("PackageInstallErrorMessage", "INSTALL_FAILED", "Failed to install additional packages {}: {}"),
    ("PackageInstallErrorMessage", "NON_PYTHON_SKIPPED",
     "Skipping automatic Python setup for language '{}': `additional_packages` installs cover "
     "Python (pip) only. {}The sandbox still executes '{}' normally " + DASH
     + " install packages yourself via `execute_command(...)`."),
    ("PackageInstallErrorMessage", "PACKAGES_DROPPED", "{} was NOT installed. "),
    ("PackageInstallErrorMessage", "PIP_UNAVAILABLE",
     "pip is not available in the sandbox interpreter '{}'. Automatic installs of "
     "`additional_packages` require pip " + DASH + " use a sandbox image that ships pip, or "
     "install packages yourself via `execute_command(...)`."),
    ("OpenSandboxErrorMessage", "SANDBOX_NOT_INITIALIZED", "Sandbox is not initialized"),
    ("OpenSandboxErrorMessage", "SANDBOX_START_FAILED", "Failed to start OpenSandbox: {}"),
    ("OpenSandboxErrorMessage", "SANDBOX_TERMINATE_FAILED", "Failed to terminate OpenSandbox: {}"),
    ("OpenSandboxErrorMessage", "EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"),
    ("OpenSandboxErrorMessage", "EXECD_NOT_REACHABLE",
     "Image '{}' does not appear to have the OpenSandbox execd daemon. Use an image that "
     "includes the opensandbox runtime (e.g. opensandbox/code-interpreter:v1.0.2)."),
    ("BedrockAgentCoreSandboxErrorMessage", "EXECUTION_FAILED", "Execution failed"),
    ("BedrockAgentCoreSandboxErrorMessage", "UNSUPPORTED_LANGUAGE",
     "Bedrock AgentCore only supports Python, got: {}"),
    ("BedrockAgentCoreSandboxErrorMessage", "SESSION_START_FAILED", "Failed to start Bedrock session: {}"),
    ("BedrockAgentCoreSandboxErrorMessage", "SESSION_NOT_STARTED", "Sandbox is not started"),
    ("BedrockAgentCoreSandboxErrorMessage", "SESSION_STOP_FAILED", "Error stopping session: {}"),
    ("BedrockAgentCoreSandboxErrorMessage", "EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"),
]


@pytest.mark.parametrize(("cls", "member", "text"), MESSAGES, ids=[f"{k}.{m}" for k, m, _ in MESSAGES])
def test_message_templates_are_exact(cls, member, text):
    value = getattr(getattr(c, cls), member)
    assert type(value) is str
    assert value == text


@pytest.mark.parametrize(
    "cls",
    ["PackageInstallErrorMessage", "OpenSandboxErrorMessage", "BedrockAgentCoreSandboxErrorMessage",
     "E2BConfig", "BedrockClientConfig", "BedrockAgentCoreSandboxOperation",
     "BedrockAgentCoreSandboxField", "OpenSandboxConfig"],
)
def test_constant_namespaces_are_plain_classes(cls):
    klass = getattr(c, cls)
    assert isinstance(klass, type) and klass.__bases__ == (object,)
    assert not isinstance(klass, enum.EnumMeta)
    assert klass.__doc__
    with pytest.raises(TypeError):
        iter(klass)


@pytest.mark.parametrize(
    ("cls", "values"),
    [
        ("E2BConfig", {"DEFAULT_TEMPLATE_ALIAS": "vornsandbox-base"}),
        ("BedrockClientConfig", {
            "AWS_SERVICE_NAME": "bedrock-agentcore", "CODE_INTERPRETER_ID": "aws.codeinterpreter.v1",
            "DEFAULT_REGION": "us-east-1", "SESSION_NAME_PREFIX": "bedrock-sandbox-"}),
        ("BedrockAgentCoreSandboxOperation", {
            "EXECUTE_CODE": "executeCode", "WRITE_FILES": "writeFiles", "READ_FILES": "readFiles"}),
        ("BedrockAgentCoreSandboxField", {
            "STREAM": "stream", "RESULT": "result", "SESSION_ID": "sessionId", "IS_ERROR": "isError",
            "CONTENT": "content", "TYPE": "type", "TEXT": "text", "DATA": "data", "BLOB": "blob",
            "RESOURCE": "resource", "PATHS": "paths", "PATH": "path", "LANGUAGE": "language",
            "CODE": "code", "STRUCTURED_CONTENT": "structuredContent", "STDOUT": "stdout",
            "STDERR": "stderr"}),
        ("OpenSandboxConfig", {
            "DEFAULT_PROTOCOL": "http", "DEFAULT_READY_TIMEOUT": 60, "UPLOAD_DIR": "/files",
            "DEFAULT_CI_ENTRYPOINT": ["bash", "/opt/opensandbox/code-interpreter.sh"]}),
    ],
)
def test_provider_configuration_values(cls, values):
    klass = getattr(c, cls)
    for name, expected in values.items():
        value = getattr(klass, name)
        assert value == expected, name
        assert type(value) is type(expected), name  # plain str / int / list, no member objects


def test_shared_image_and_domain():
    image = c.DEFAULT_SANDBOX_IMAGE
    assert type(image) is str and "/" in image and image.endswith(":base")
    cfg = c.OpenSandboxConfig
    assert cfg.DEFAULT_IMAGE == image and cfg.UPLOAD_DIR == c.DEFAULT_UPLOAD_DIR
    assert cfg.DEFAULT_DOMAIN.endswith(":8080") and "://" not in cfg.DEFAULT_DOMAIN


def test_pool_extension():
    ext = c.OpenSandboxConfig.pool_extension
    assert list(inspect.signature(ext).parameters) == ["pool_ref"]
    ref = "".join(["pool-", "a"])  # a fresh string object, to check identity
    first = ext(ref)
    assert first == {"poolRef": ref} and first["poolRef"] is ref
    second = ext(pool_ref=ref)
    assert second == first and second is not first
    assert ext("") == {"poolRef": ""}


DASH = "\u2014"

MODULE_ORDER = [
    "DEFAULT_UPLOAD_DIR", "DEFAULT_EXECUTION_TIMEOUT", "DEFAULT_INSTALL_TIMEOUT", "DEFAULT_SANDBOX_TIMEOUT",
    "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", "DEFAULT_DOWNLOAD_TIMEOUT", "DOWNLOAD_TIMEOUT_MESSAGE",
    "DEFAULT_SANDBOX_IMAGE", "Language", "PackageInstallErrorMessage", "E2BConfig", "BedrockClientConfig",
    "BedrockAgentCoreSandboxOperation", "BedrockAgentCoreSandboxField", "BedrockAgentCoreSandboxContentType",
    "OpenSandboxConfig", "OpenSandboxErrorMessage", "BedrockAgentCoreSandboxErrorMessage",
]


def test_module_names_in_order_without_all():
    names = [n for n in vars(c) if n in MODULE_ORDER]
    assert names == MODULE_ORDER
    assert not hasattr(c, "__all__")
    repository, _, tag = c.DEFAULT_SANDBOX_IMAGE.rpartition(":")
    assert type(c.DEFAULT_SANDBOX_IMAGE) is str and tag == "base" and "/" in repository


def test_filled_templates_read_as_documented():
    pim = c.PackageInstallErrorMessage
    assert pim.INSTALL_FAILED.format(["numpy"], "boom") == "Failed to install additional packages ['numpy']: boom"
    dropped = pim.PACKAGES_DROPPED.format(["numpy"])
    tail = f"The sandbox still executes 'r' normally {DASH} install packages yourself via `execute_command(...)`."
    head = "Skipping automatic Python setup for language 'r': `additional_packages` installs cover Python (pip) only. "
    assert pim.NON_PYTHON_SKIPPED.format("r", dropped, "r") == head + "['numpy'] was NOT installed. " + tail
    assert pim.NON_PYTHON_SKIPPED.format("r", "", "r") == head + tail
    timeout = c.OpenSandboxErrorMessage.EXECUTION_TIMEOUT
    assert timeout.format(c.DEFAULT_EXECUTION_TIMEOUT) == "Execution exceeded timeout of 30 seconds"
    assert timeout.format(2.5) == "Execution exceeded timeout of 2.5 seconds"
    assert c.DOWNLOAD_TIMEOUT_MESSAGE.format("./a b.txt", c.DEFAULT_DOWNLOAD_TIMEOUT) == (
        "Download of ./a b.txt exceeded timeout of 30 seconds")
    assert c.OpenSandboxErrorMessage.SANDBOX_TERMINATE_FAILED.format(TimeoutError()) == (
        "Failed to terminate OpenSandbox: ")
    assert c.OpenSandboxErrorMessage.EXECUTION_TIMEOUT == c.BedrockAgentCoreSandboxErrorMessage.EXECUTION_TIMEOUT
    assert pim.UNSUPPORTED_LANGUAGE != c.BedrockAgentCoreSandboxErrorMessage.UNSUPPORTED_LANGUAGE
