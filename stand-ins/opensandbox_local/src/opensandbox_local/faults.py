"""Fault switches of the local server.

Every request the server answers is counted under an operation name (see
``OPERATIONS``). A rule fails or delays chosen calls of one operation, counted
from the moment the rule is added: ``nth=1`` is the next call. Tests change the
switches from their own thread while the server runs, so all state is behind
one lock.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass

OPERATIONS = (
    # lifecycle API
    "create_sandbox", "get_sandbox", "kill_sandbox", "get_endpoint",
    "create_snapshot", "get_snapshot", "list_snapshots", "delete_snapshot",
    "metrics_event",
    # in-sandbox API, counted where the server forwards it
    "ping", "run_command", "interrupt_command", "run_code", "interrupt_code",
    "upload", "download",
)


@dataclass
class Failure:
    status: int
    code: str
    message: str


@dataclass
class _Rule:
    operation: str
    first: int
    last: int
    delay: float = 0.0
    failure: Failure | None = None
    pending: float = 0.0  # on "create_sandbox": the new sandbox stays pending this long

    def applies(self, operation: str, number: int) -> bool:
        return operation == self.operation and self.first <= number <= self.last


class Faults:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.reset()

    def reset(self) -> None:
        with getattr(self, "_lock"):
            self._calls: dict[str, int] = {}
            self._rules: list[_Rule] = []
            self._snapshot_states: dict[str | None, tuple[str, str]] = {}
            self.endless_pages = False
            self.snapshot_ready_delay = 0.2
            # New sandboxes bring their command daemon up this much later, as
            # on a machine too busy to start process trees quickly.
            self.daemon_start_delay = 0.0
            # A sandbox whose creating client went away before the answer
            # stays running, as on a real service (by default the server
            # destroys it, so that one cancelled test does not leak).
            self.abandoned_sandboxes_stay = False

    def calls(self, operation: str) -> int:
        """How many calls of ``operation`` the server has received."""
        with self._lock:
            return self._calls.get(operation, 0)

    def fail(self, operation: str, *, nth: int = 1, times: int = 1, status: int = 500,
             code: str = "LOCAL::INJECTED_FAILURE", message: str = "injected failure") -> None:
        """Answer calls nth .. nth+times-1 of ``operation`` with an error."""
        self._add(operation, nth, times, failure=Failure(status, code, message))

    def pending(self, seconds: float, *, nth: int = 1, times: int = 1) -> None:
        """Sandboxes made by creations nth .. nth+times-1 stay pending for
        ``seconds`` after they are made: their endpoints answer 404
        "KUBERNETES::POD_IP_NOT_AVAILABLE" until then, as a real server's do
        while the sandbox has no address yet. Such a creation is answered at
        once ("Pending"), the sandbox starting behind the answer, so that the
        client's readiness wait, not the machine's speed, decides its fate."""
        self._add("create_sandbox", nth, times, pending=seconds)

    def delay(self, operation: str, seconds: float, *, nth: int = 1, times: int = 1) -> None:
        """Hold calls nth .. nth+times-1 of ``operation`` for ``seconds`` first."""
        self._add(operation, nth, times, delay=seconds)

    def force_snapshot_state(self, state: str, message: str = "", *, name: str | None = None) -> None:
        """New snapshots (of ``name``, or all) end in ``state`` instead of "Ready";
        "Creating" keeps them there for good."""
        with self._lock:
            self._snapshot_states[name] = (state, message)

    def _add(self, operation: str, nth: int, times: int, **what) -> None:
        if operation not in OPERATIONS:
            raise ValueError(f"unknown operation {operation!r}; known: {', '.join(OPERATIONS)}")
        if nth < 1 or times < 1:
            raise ValueError("nth and times must be at least 1")
        with self._lock:
            done = self._calls.get(operation, 0)
            self._rules.append(_Rule(operation, done + nth, done + nth + times - 1, **what))

    # Server side -----------------------------------------------------------

    def on_call(self, operation: str) -> tuple[float, Failure | None, float]:
        """Count one call; answer the delay and the failure it must get, and
        how long a sandbox it creates stays pending."""
        with self._lock:
            number = self._calls.get(operation, 0) + 1
            self._calls[operation] = number
            delay, failure, pending = 0.0, None, 0.0
            for rule in self._rules:
                if rule.applies(operation, number):
                    delay += rule.delay
                    failure = failure or rule.failure
                    pending = max(pending, rule.pending)
            return delay, failure, pending

    def snapshot_outcome(self, name: str | None) -> tuple[str, str]:
        with self._lock:
            return self._snapshot_states.get(name) or self._snapshot_states.get(None) or ("Ready", "")
