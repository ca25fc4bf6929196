"""The hot native functions, as their Python would be written."""

from __future__ import annotations

import asyncio
import logging

# The models are the pure-Python mirror's own, so that one copy serves both benches.
from pure.mirror.models import ExecutionResult, ExecutionStatus, SandboxFile  # noqa: F401

logger = logging.getLogger("bench.pure")

_INSTALLABLE_LANGUAGES = {"python", "py"}


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
