"""The hot native functions, as their Python would be written."""

from __future__ import annotations

import asyncio
import logging

from pydantic import BaseModel

from vorn_sandbox.models import ExecutionStatus

logger = logging.getLogger("bench.pure")

_INSTALLABLE_LANGUAGES = {"python", "py"}


class ExecutionResult(BaseModel):
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
        success = status == ExecutionStatus.SUCCESS
        return cls(status=status, code=code, stdout=stdout, stderr=stderr, text=error or stdout, error=error,
                   exit_code=0 if success else 1, duration_ms=duration_ms)


class SandboxFile(BaseModel):
    filename: str
    data: bytes

    @classmethod
    def from_bytes(cls, data, filename):
        return cls(filename=filename, data=data)


def build_upload_path(filename, upload_dir, default_dir):
    base = default_dir if upload_dir is None else upload_dir
    if not base:
        return filename
    return "{}/{}".format(base.rstrip("/"), filename)


def _normalize_language(language):
    normalized = language.lower()
    return "python" if normalized.startswith("python") else normalized


def supports_automatic_install(language):
    return _normalize_language(language) in _INSTALLABLE_LANGUAGES


def _cause_chain(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__


async def _run_attempts(operation, *, attempts, backoff, should_retry):
    for attempt in range(1, attempts + 1):
        try:
            return await operation()
        except Exception as exc:
            if attempt >= attempts or not any(should_retry(link) for link in _cause_chain(exc)):
                raise
            logger.info("Sandbox operation retry %s/%s after: %s", attempt, attempts, exc)
            await asyncio.sleep(backoff)


async def _retry_async(operation, *, attempts, backoff, should_retry, total_timeout=None):
    if attempts < 1:
        raise ValueError("`attempts` must be at least 1")
    if backoff < 0:
        raise ValueError("`backoff` must be non-negative")
    if total_timeout is not None and total_timeout <= 0:
        raise ValueError("`total_timeout` must be positive")
    return await asyncio.wait_for(
        _run_attempts(operation, attempts=attempts, backoff=backoff, should_retry=should_retry), timeout=total_timeout
    )


async def create_with_retry(create, *, is_transient, attempts=3, backoff=2.0, total_timeout=None):
    return await _retry_async(create, attempts=attempts, backoff=backoff, should_retry=is_transient,
                              total_timeout=total_timeout)
