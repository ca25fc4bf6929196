"""pytest plugin (registered as "e2b_local"): the local E2B service as fixtures.

- ``e2b_local_service``: one ``LocalE2BService`` for the whole session,
  served in a background thread; stopped (every sandbox killed) at the end.
- ``e2b_local``: per test; points the SDK at the service through the
  environment, starts with no faults queued, and after the test releases
  every hang, clears the switches and checks that no sandbox is left alive
  (leftovers are killed and the test errors).
- ``e2b_local_isolated``: the same, for tests that need each sandbox's own
  file tree (/home/user, /files, /tmp of its own); skips them, with the
  service's reason, when its sandboxes share the host's tree.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .service import LocalE2BService

# Kills that a test released a moment ago finish on the service's loop.
LEFTOVER_GRACE_SECONDS = 5.0


class E2BLocal:
    """What a test sees of the service."""

    def __init__(self, service: LocalE2BService) -> None:
        self.service = service
        self.faults = service.faults
        self.templates = service.templates

    @property
    def url(self) -> str:
        return self.service.url

    @property
    def env(self) -> dict[str, str]:
        return self.service.env

    @property
    def sdk_kwargs(self) -> dict[str, str]:
        return self.service.sdk_kwargs

    @property
    def api_key(self) -> str:
        return self.service.api_key

    def live_sandboxes(self) -> list[str]:
        return self.service.live_sandboxes()

    def live_count(self) -> int:
        return len(self.service.live_sandboxes())

    def fail(self, operation: str, times: int = 1, status: int = 500, message: str | None = None,
             *, sdk_retry: bool = False) -> None:
        self.faults.fail(operation, times, status, message, sdk_retry=sdk_retry)

    def hang(self, operation: str, times: int = 1) -> None:
        self.faults.hang(operation, times)

    def release(self) -> None:
        self.faults.release()

    @property
    def build_delay(self) -> float:
        return self.faults.build_delay

    @build_delay.setter
    def build_delay(self, seconds: float) -> None:
        self.faults.build_delay = seconds

    def require_isolation(self) -> None:
        require_isolation(self.service)

    def sandbox_path(self, sandbox_id: str, path: str):
        """Where a path of a live sandbox lies on this machine's disk."""
        return self.service.sandboxes[sandbox_id].host_path(path)

    def wait_until_not_hanging(self, timeout: float = LEFTOVER_GRACE_SECONDS) -> bool:
        """Waits until no call hangs: after a client gave up, the service
        drops its hung call as soon as it notices the disconnect."""
        deadline = time.monotonic() + timeout
        while self.faults.hanging():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def kill_all(self) -> list[str]:
        return self.service.call(self.service.kill_all())

    def wait_until_no_sandboxes(self, timeout: float = LEFTOVER_GRACE_SECONDS) -> bool:
        deadline = time.monotonic() + timeout
        while self.service.live_sandboxes():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True


def require_isolation(service: LocalE2BService) -> None:
    """Skips the calling test when the service's sandboxes share the host's
    tree (no isolation here, or turned off), saying why."""
    if not service.isolate:
        pytest.skip(f"sandboxes share the host's tree: {service.isolation_reason}")


@pytest.fixture(scope="session")
def e2b_local_service():
    from .service import LocalE2BService

    service = LocalE2BService().start()
    try:
        yield service
    finally:
        service.stop()


@pytest.fixture
def e2b_local(e2b_local_service, monkeypatch):
    e2b_local_service.faults.reset()
    for key, value in e2b_local_service.env.items():
        monkeypatch.setenv(key, value)
    local = E2BLocal(e2b_local_service)
    yield local
    e2b_local_service.faults.reset()
    if not local.wait_until_no_sandboxes():
        leaked = local.kill_all()
        pytest.fail(f"the test left {len(leaked)} live sandbox(es) in the local E2B service: {', '.join(leaked)}")


@pytest.fixture
def e2b_local_isolated(e2b_local_service, e2b_local):
    require_isolation(e2b_local_service)
    return e2b_local
