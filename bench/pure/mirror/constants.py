"""Shared defaults, message templates and provider configuration constants."""

from enum import StrEnum

DEFAULT_UPLOAD_DIR = "/files"
DEFAULT_EXECUTION_TIMEOUT = 30
DEFAULT_INSTALL_TIMEOUT = 300
DEFAULT_SANDBOX_TIMEOUT = 600
DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS = 10
DEFAULT_DOWNLOAD_TIMEOUT = 30
DOWNLOAD_TIMEOUT_MESSAGE = "Download of {} exceeded timeout of {} seconds"
DEFAULT_SANDBOX_IMAGE = "ghcr.io/vorn-sandbox/code-interpreter:base"


class Language(StrEnum):
    """Programming languages supported by the code sandbox."""

    PYTHON = "python"


class PackageInstallErrorMessage:
    """Error messages used when installing `additional_packages` into a running sandbox."""

    UNSUPPORTED_LANGUAGE = "`additional_packages` cannot install packages for language '{}': automatic installs cover Python (pip) only. The sandbox still executes '{}' normally \u2014 install packages yourself via `execute_command(...)`."
    INSTALL_FAILED = "Failed to install additional packages {}: {}"
    NON_PYTHON_SKIPPED = "Skipping automatic Python setup for language '{}': `additional_packages` installs cover Python (pip) only. {}The sandbox still executes '{}' normally \u2014 install packages yourself via `execute_command(...)`."
    PACKAGES_DROPPED = "{} was NOT installed. "
    PIP_UNAVAILABLE = "pip is not available in the sandbox interpreter '{}'. Automatic installs of `additional_packages` require pip \u2014 use a sandbox image that ships pip, or install packages yourself via `execute_command(...)`."


class E2BConfig:
    """Configuration defaults for E2B."""

    DEFAULT_TEMPLATE_ALIAS = "vornsandbox-base"


class BedrockClientConfig:
    """Configuration for the Bedrock client."""

    AWS_SERVICE_NAME = "bedrock-agentcore"
    CODE_INTERPRETER_ID = "aws.codeinterpreter.v1"
    DEFAULT_REGION = "us-east-1"
    SESSION_NAME_PREFIX = "bedrock-sandbox-"


class BedrockAgentCoreSandboxOperation:
    """Operations supported by the Bedrock AgentCore sandbox."""

    EXECUTE_CODE = "executeCode"
    WRITE_FILES = "writeFiles"
    READ_FILES = "readFiles"


class BedrockAgentCoreSandboxField:
    """Fields used by the Bedrock AgentCore sandbox."""

    STREAM = "stream"
    RESULT = "result"
    SESSION_ID = "sessionId"
    IS_ERROR = "isError"
    CONTENT = "content"
    TYPE = "type"
    TEXT = "text"
    DATA = "data"
    BLOB = "blob"
    RESOURCE = "resource"
    PATHS = "paths"
    PATH = "path"
    LANGUAGE = "language"
    CODE = "code"
    STRUCTURED_CONTENT = "structuredContent"
    STDOUT = "stdout"
    STDERR = "stderr"


class BedrockAgentCoreSandboxContentType(StrEnum):
    """Content types used by the Bedrock AgentCore sandbox."""

    TEXT = "text"
    IMAGE = "image"
    RESOURCE = "resource"
    BLOB = "blob"


class OpenSandboxConfig:
    """Configuration defaults for OpenSandbox."""

    DEFAULT_IMAGE = DEFAULT_SANDBOX_IMAGE
    DEFAULT_DOMAIN = "localhost:8080"
    DEFAULT_PROTOCOL = "http"
    DEFAULT_READY_TIMEOUT = 60
    UPLOAD_DIR = DEFAULT_UPLOAD_DIR
    DEFAULT_CI_ENTRYPOINT = ["bash", "/opt/opensandbox/code-interpreter.sh"]

    @staticmethod
    def pool_extension(pool_ref: str) -> dict[str, str]:
        """The `extensions` argument of sandbox creation that pins the sandbox to the pool `pool_ref`."""
        return {"poolRef": pool_ref}


class OpenSandboxErrorMessage:
    """Error messages used by OpenSandbox."""

    SANDBOX_NOT_INITIALIZED = "Sandbox is not initialized"
    SANDBOX_START_FAILED = "Failed to start OpenSandbox: {}"
    SANDBOX_TERMINATE_FAILED = "Failed to terminate OpenSandbox: {}"
    EXECUTION_TIMEOUT = "Execution exceeded timeout of {} seconds"
    EXECD_NOT_REACHABLE = "Image '{}' does not appear to have the OpenSandbox execd daemon. Use an image that includes the opensandbox runtime (e.g. opensandbox/code-interpreter:v1.0.2)."


class BedrockAgentCoreSandboxErrorMessage:
    """Error messages used by the Bedrock AgentCore sandbox."""

    EXECUTION_FAILED = "Execution failed"
    UNSUPPORTED_LANGUAGE = "Bedrock AgentCore only supports Python, got: {}"
    SESSION_START_FAILED = "Failed to start Bedrock session: {}"
    SESSION_NOT_STARTED = "Sandbox is not started"
    SESSION_STOP_FAILED = "Error stopping session: {}"
    EXECUTION_TIMEOUT = "Execution exceeded timeout of {} seconds"
