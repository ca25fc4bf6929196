"""BaseSandbox: the abstract root of every sandbox backend."""

import abc
import asyncio

from kelmo_core.logging import LoggerManager

from .constants import DEFAULT_DOWNLOAD_TIMEOUT, DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS

logger = LoggerManager().get_logger(__name__)
_pending_rollbacks = set()


class BaseSandbox(abc.ABC):
    """Abstract root of every sandbox backend: transient-failure test, shielded rollback, teardown and file download."""

    def __init__(self, **kwargs):
        super().__init__()

    @classmethod
    def _is_transient_create_error(cls, exc):
        """Whether one failure raised while creating a sandbox is worth another attempt."""
        return isinstance(exc, (TimeoutError, ConnectionError))

    @staticmethod
    async def _shielded_rollback(teardown, *, timeout=DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS):
        """Runs a rollback teardown shielded from cancellation, waiting at most `timeout` seconds; never raises."""
        try:
            task = asyncio.ensure_future(teardown)
            _pending_rollbacks.add(task)

            def forget(done):
                _pending_rollbacks.discard(done)
                if not done.cancelled():
                    done.exception()

            task.add_done_callback(forget)
            await asyncio.wait_for(asyncio.shield(task), timeout)
        except (Exception, asyncio.CancelledError):
            pass

    @abc.abstractmethod
    async def terminate(self, *, timeout=DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS):
        """Tears the sandbox down; `timeout` caps the whole teardown, in seconds."""
        raise NotImplementedError

    @abc.abstractmethod
    async def download_file(self, file_path, *, timeout=DEFAULT_DOWNLOAD_TIMEOUT):
        """Returns the file's bytes, or None when the download fails or times out."""
        raise NotImplementedError
