"""Exact values, texts, types and order of vorn_sandbox.constants.

Every expected text below is typed out independently of the module, so a
changed character (dash, quote, backtick, trailing blank) fails here.
"""

import enum
import inspect
import pickle

import pytest

import vorn_sandbox.constants as c

DASH = "\u2014"

DEFAULTS = [
    ("DEFAULT_UPLOAD_DIR", "/files"),
    ("DEFAULT_EXECUTION_TIMEOUT", 30),
    ("DEFAULT_INSTALL_TIMEOUT", 300),
    ("DEFAULT_SANDBOX_TIMEOUT", 600),
    ("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", 10),
    ("DEFAULT_DOWNLOAD_TIMEOUT", 30),
    ("DOWNLOAD_TIMEOUT_MESSAGE", "Download of {} exceeded timeout of {} seconds"),
]

PLAIN_CLASSES = {
    "PackageInstallErrorMessage": [
        ("UNSUPPORTED_LANGUAGE",
         "`additional_packages` cannot install packages for language '{}': automatic installs cover Python (pip) "
         f"only. The sandbox still executes '{{}}' normally {DASH} install packages yourself via `execute_command(...)`."),
        ("INSTALL_FAILED", "Failed to install additional packages {}: {}"),
        ("NON_PYTHON_SKIPPED",
         "Skipping automatic Python setup for language '{}': `additional_packages` installs cover Python (pip) only. "
         f"{{}}The sandbox still executes '{{}}' normally {DASH} install packages yourself via `execute_command(...)`."),
        ("PACKAGES_DROPPED", "{} was NOT installed. "),
        ("PIP_UNAVAILABLE",
         "pip is not available in the sandbox interpreter '{}'. Automatic installs of `additional_packages` require "
         f"pip {DASH} use a sandbox image that ships pip, or install packages yourself via `execute_command(...)`."),
    ],
    "E2BConfig": [("DEFAULT_TEMPLATE_ALIAS", "vornsandbox-base")],
    "BedrockClientConfig": [
        ("AWS_SERVICE_NAME", "bedrock-agentcore"), ("CODE_INTERPRETER_ID", "aws.codeinterpreter.v1"),
        ("DEFAULT_REGION", "us-east-1"), ("SESSION_NAME_PREFIX", "bedrock-sandbox-"),
    ],
    "BedrockAgentCoreSandboxOperation": [("EXECUTE_CODE", "executeCode"), ("WRITE_FILES", "writeFiles"),
                                         ("READ_FILES", "readFiles")],
    "BedrockAgentCoreSandboxField": [
        ("STREAM", "stream"), ("RESULT", "result"), ("SESSION_ID", "sessionId"), ("IS_ERROR", "isError"),
        ("CONTENT", "content"), ("TYPE", "type"), ("TEXT", "text"), ("DATA", "data"), ("BLOB", "blob"),
        ("RESOURCE", "resource"), ("PATHS", "paths"), ("PATH", "path"), ("LANGUAGE", "language"),
        ("CODE", "code"), ("STRUCTURED_CONTENT", "structuredContent"), ("STDOUT", "stdout"), ("STDERR", "stderr"),
    ],
    "OpenSandboxErrorMessage": [
        ("SANDBOX_NOT_INITIALIZED", "Sandbox is not initialized"),
        ("SANDBOX_START_FAILED", "Failed to start OpenSandbox: {}"),
        ("SANDBOX_TERMINATE_FAILED", "Failed to terminate OpenSandbox: {}"),
        ("EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"),
        ("EXECD_NOT_REACHABLE",
         "Image '{}' does not appear to have the OpenSandbox execd daemon. Use an image that includes the "
         "opensandbox runtime (e.g. opensandbox/code-interpreter:v1.0.2)."),
    ],
    "BedrockAgentCoreSandboxErrorMessage": [
        ("EXECUTION_FAILED", "Execution failed"),
        ("UNSUPPORTED_LANGUAGE", "Bedrock AgentCore only supports Python, got: {}"),
        ("SESSION_START_FAILED", "Failed to start Bedrock session: {}"),
        ("SESSION_NOT_STARTED", "Sandbox is not started"),
        ("SESSION_STOP_FAILED", "Error stopping session: {}"),
        ("EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"),
    ],
}

MODULE_ORDER = [name for name, _ in DEFAULTS] + [
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


@pytest.mark.parametrize("name, value", DEFAULTS)
def test_module_defaults_have_exact_value_and_type(name, value):
    assert getattr(c, name) == value
    assert type(getattr(c, name)) is type(value)  # whole seconds stay int, never float


@pytest.mark.parametrize("class_name", list(PLAIN_CLASSES))
def test_plain_classes_hold_exact_texts_in_order(class_name):
    cls = getattr(c, class_name)
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == "vorn_sandbox.constants" and cls.__qualname__ == class_name
    assert cls.__doc__
    members = [(k, v) for k, v in vars(cls).items() if not k.startswith("_")]
    assert members == PLAIN_CLASSES[class_name]
    assert all(type(v) is str for _, v in members)


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


@pytest.mark.parametrize("enum_name, members", [
    ("Language", [("PYTHON", "python")]),
    ("BedrockAgentCoreSandboxContentType", [("TEXT", "text"), ("IMAGE", "image"), ("RESOURCE", "resource"),
                                            ("BLOB", "blob")]),
])
def test_string_enumerations(enum_name, members):
    cls = getattr(c, enum_name)
    assert issubclass(cls, enum.StrEnum) and cls.__doc__
    assert cls.__module__ == "vorn_sandbox.constants" and cls.__qualname__ == enum_name
    assert [(m.name, m.value) for m in cls] == members
    for name, value in members:
        member = cls[name]
        assert cls(value) is member and member == value and str(member) == value and f"{member}" == value
        assert pickle.loads(pickle.dumps(member)) is member
    with pytest.raises(ValueError):
        cls(members[0][0])  # the name is not a value
    assert c.Language.PYTHON != "PYTHON" and c.Language.PYTHON != "python3"


def test_opensandbox_config_values():
    cfg = c.OpenSandboxConfig
    assert cfg.__bases__ == (object,) and cfg.__doc__
    names = [k for k in vars(cfg) if not k.startswith("_")]
    assert names == ["DEFAULT_IMAGE", "DEFAULT_DOMAIN", "DEFAULT_PROTOCOL", "DEFAULT_READY_TIMEOUT", "UPLOAD_DIR",
                     "DEFAULT_CI_ENTRYPOINT", "pool_extension"]
    assert cfg.DEFAULT_IMAGE is c.DEFAULT_SANDBOX_IMAGE and cfg.UPLOAD_DIR is c.DEFAULT_UPLOAD_DIR
    host, _, port = cfg.DEFAULT_DOMAIN.rpartition(":")
    assert host in ("localhost", "127.0.0.1") and port == "8080"
    assert cfg.DEFAULT_PROTOCOL == "http"
    assert cfg.DEFAULT_READY_TIMEOUT == 60 and type(cfg.DEFAULT_READY_TIMEOUT) is int
    entrypoint = cfg.DEFAULT_CI_ENTRYPOINT
    assert type(entrypoint) is list and entrypoint == ["bash", "/opt/opensandbox/code-interpreter.sh"]


def test_pool_extension_is_a_static_operation_building_a_new_mapping():
    assert isinstance(vars(c.OpenSandboxConfig)["pool_extension"], staticmethod)
    params = list(inspect.signature(c.OpenSandboxConfig.pool_extension).parameters.values())
    assert [(p.name, p.kind, p.default) for p in params] == [
        ("pool_ref", inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)]
    ref = "".join(["pool", "-a"])
    first = c.OpenSandboxConfig.pool_extension(ref)
    assert type(first) is dict and first == {"poolRef": ref} and first["poolRef"] is ref
    second = c.OpenSandboxConfig.pool_extension(pool_ref=ref)
    assert second == first and second is not first
    assert c.OpenSandboxConfig.pool_extension("") == {"poolRef": ""}
