"""What `import vorn_sandbox` builds, written as a Python package: the measure of the
package's own import work."""

from .base import BaseSandbox
from .errors import (CodeInterpreterError, SandboxExecutionError, SandboxNotInitializedError, SandboxStartError,
                     SandboxTerminateError, Stage, TemplateBuildError)
from .models import (CommandResult, ExecutionResult, ExecutionStatus, SandboxFile, WorkspaceFileWriteRequest,
                     WorkspaceFileWriteResult)

__all__ = ["BaseSandbox", "CommandResult", "CodeInterpreterError", "ExecutionResult", "ExecutionStatus",
           "SandboxExecutionError", "SandboxFile", "SandboxNotInitializedError", "SandboxStartError",
           "SandboxTerminateError", "Stage", "TemplateBuildError", "WorkspaceFileWriteRequest",
           "WorkspaceFileWriteResult"]
