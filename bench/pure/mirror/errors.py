"""Stage-attributed errors of the sandbox lifecycle."""

from collections.abc import Callable
from enum import StrEnum

TransientClassifier = Callable[[BaseException], bool]


class Stage(StrEnum):
    """Lifecycle stage at which a failure happened; also the error_code of log records."""

    SNAPSHOT_RESOLVE = "snapshot_resolve"
    CREATE = "create"
    GET_INFO = "get_info"
    EXECD_PROBE = "execd_probe"
    JUPYTER_PROBE = "jupyter_probe"
    INTERPRETER_INIT = "interpreter_init"
    SESSION_START = "session_start"
    PROCESS_START = "process_start"
    TEMPLATE_BUILD = "template_build"
    PACKAGE_INSTALL = "package_install"
    EXECUTION = "execution"
    TERMINATE = "terminate"
    DOWNLOAD = "download"
    NOT_INITIALIZED = "not_initialized"


def _default_classifier(exc):
    """The root sandbox class's transient test, looked up on each call."""
    from .base import BaseSandbox

    return BaseSandbox._is_transient_create_error(exc)


class CodeInterpreterError(RuntimeError):
    """Base of the sandbox error family: carries the failing stage and a derived transient verdict."""

    def __init__(self, message, *, stage, classifier=None):
        super().__init__(message)
        self.stage = stage
        self._classifier = classifier

    @property
    def transient(self):
        """True when the error or any exception down its __cause__ chain is judged transient."""
        test = self._classifier or _default_classifier
        seen = []
        current = self
        while current is not None:
            if any(earlier is current for earlier in seen):
                return False
            if test(current):
                return True
            seen.append(current)
            current = current.__cause__
        return False


class TemplateBuildError(CodeInterpreterError):
    """A template build or ensure failed."""


class SandboxStartError(CodeInterpreterError):
    """A sandbox or session failed to start."""


class SandboxExecutionError(CodeInterpreterError):
    """Execution or package installation failed after start."""


class SandboxTerminateError(CodeInterpreterError):
    """Teardown failed after every retry; the sandbox may still be alive."""


class SandboxNotInitializedError(CodeInterpreterError):
    """An operation needed a sandbox before one was created or started."""

    def __init__(self, message="Sandbox is not initialized", **kwargs):
        kwargs["stage"] = Stage.NOT_INITIALIZED
        super().__init__(message, **kwargs)
