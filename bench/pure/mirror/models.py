"""Results, files and workspace models that cross the sandbox interface."""

from enum import Enum

from pydantic import BaseModel, ConfigDict, PositiveInt


class ExecutionStatus(Enum):
    """Outcome of a run of code or of a command."""

    SUCCESS = "success"
    ERROR = "error"
    TIMEOUT = "timeout"


class SandboxFile(BaseModel):
    """A file written below the upload directory before code runs."""

    filename: str
    data: bytes

    @classmethod
    def from_bytes(cls, data, filename):
        """Builds a file from raw bytes and the name to write them under."""
        return cls(filename=filename, data=data)


class ExecutionResult(BaseModel):
    """Structured result of running code or a shell command."""

    status: ExecutionStatus
    code: str = ""
    stdout: str = ""
    stderr: str = ""
    text: str = ""
    error: str = ""
    exit_code: int = 0
    duration_ms: int | None = None

    @classmethod
    def create(cls, status, code, stdout="", stderr="", error="", duration_ms=None):
        """Builds a result, deriving text (the error, else stdout) and exit_code (0 for SUCCESS, else 1)."""
        success = status == ExecutionStatus.SUCCESS
        return cls(status=status, code=code, stdout=stdout, stderr=stderr, text=error or stdout, error=error,
                   exit_code=0 if success else 1, duration_ms=duration_ms)


class WorkspaceFileWriteRequest(BaseModel):
    """A bounded byte payload addressed by a workspace-relative path."""

    model_config = ConfigDict(frozen=True)
    data: bytes
    max_bytes: PositiveInt
    overwrite: bool = False
    relative_path: str


class WorkspaceFileWriteResult(BaseModel):
    """Result of a completed, durable bounded write."""

    model_config = ConfigDict(frozen=True)
    bytes_written: int
    duration_ms: int | None = None
    overwritten: bool
    path: str


class CommandResult(BaseModel):
    """Bounded result of one argument-vector command."""

    model_config = ConfigDict(frozen=True)
    argv: tuple[str, ...]
    duration_ms: int | None = None
    error: str = ""
    exit_code: int | None = None
    status: ExecutionStatus
    stderr: str = ""
    stderr_byte_count: int
    stderr_captured_byte_count: int
    stderr_truncated: bool
    stderr_byte_count_complete: bool = True
    stdout: str = ""
    stdout_byte_count: int
    stdout_captured_byte_count: int
    stdout_truncated: bool
    stdout_byte_count_complete: bool = True
    timed_out: bool = False
