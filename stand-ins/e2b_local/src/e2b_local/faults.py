"""Fault switches: make the next N calls of one operation fail or hang.

Set from any thread (a test, the control API); read on the service's loop.
"""

from __future__ import annotations

import asyncio
import threading
from collections import deque
from dataclasses import dataclass

OPERATIONS = ("create", "kill", "write", "download_url", "set_timeout", "build")

DEFAULT_MESSAGES = {
    401: "Invalid API key",
    404: "Not found",
    429: "Rate limit exceeded",
    500: "Internal server error",
    503: "Service is busy",
}


@dataclass(frozen=True)
class Fault:
    """What one call gets instead of its normal answer. ``status`` None
    means hang: no answer until ``release()`` or the client gives up."""

    status: int | None
    message: str
    sdk_retry: bool = False

    @property
    def hangs(self) -> bool:
        return self.status is None


class Faults:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queued: dict[str, deque[Fault]] = {op: deque() for op in OPERATIONS}
        self._waiting: list[tuple[asyncio.AbstractEventLoop, asyncio.Event]] = []
        self.build_delay = 0.0

    # -- switching (any thread) ----------------------------------------

    def fail(self, operation: str, times: int = 1, status: int = 500, message: str | None = None,
             *, sdk_retry: bool = False) -> None:
        """The next ``times`` calls of ``operation`` answer ``status``.

        The SDK itself retries 429/502/503/504 answers of the control plane
        (three times, with back-off) unless told not to; by default these
        answers carry "Should-Retry: false", so one failed call is one SDK
        exception. ``sdk_retry=True`` leaves the SDK its own retries."""
        fault = Fault(status, message or DEFAULT_MESSAGES.get(status, f"HTTP {status}"), sdk_retry)
        self._push(operation, fault, times)

    def hang(self, operation: str, times: int = 1) -> None:
        """The next ``times`` calls of ``operation`` get no answer until
        ``release()``; for "build" the build stays in progress instead."""
        self._push(operation, Fault(None, "hang"), times)

    def release(self) -> None:
        """Lets every hanging call go on (and drops hangs not yet taken)."""
        with self._lock:
            for queue in self._queued.values():
                kept = [fault for fault in queue if not fault.hangs]
                queue.clear()
                queue.extend(kept)
            waiting, self._waiting = self._waiting, []
        for loop, event in waiting:
            loop.call_soon_threadsafe(event.set)

    def reset(self) -> None:
        with self._lock:
            for queue in self._queued.values():
                queue.clear()
            self.build_delay = 0.0
        self.release()

    def pending(self, operation: str) -> int:
        with self._lock:
            return len(self._queued[operation])

    def _push(self, operation: str, fault: Fault, times: int) -> None:
        if operation not in self._queued:
            raise ValueError(f"unknown operation {operation!r}; one of {', '.join(OPERATIONS)}")
        if times < 1:
            raise ValueError("times must be at least 1")
        with self._lock:
            self._queued[operation].extend([fault] * times)

    # -- taking (service loop) -----------------------------------------

    def take(self, operation: str) -> Fault | None:
        with self._lock:
            queue = self._queued[operation]
            return queue.popleft() if queue else None

    def hang_event(self) -> asyncio.Event:
        event = asyncio.Event()
        with self._lock:
            self._waiting.append((asyncio.get_running_loop(), event))
        return event

    def hang_over(self, event: asyncio.Event) -> None:
        with self._lock:
            self._waiting = [entry for entry in self._waiting if entry[1] is not event]

    def hanging(self) -> int:
        """How many calls hang right now (a call whose client gave up stops
        hanging as soon as the service notices)."""
        with self._lock:
            return len(self._waiting)
