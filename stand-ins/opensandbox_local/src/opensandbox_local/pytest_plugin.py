"""pytest fixtures of the local OpenSandbox server (registered as a plugin).

``opensandbox_server`` is one server for the whole session; ``opensandbox_local``
hands it to a test with its fault switches reset and, after the test, demands
that no sandbox is left running (leftovers are killed so that one leak does
not spill into the next test).

Without isolation no sandbox of the server gets ready: its code server starts
from a path of the sandbox's own tree and listens on the one port every
sandbox uses. So ``opensandbox_local`` skips its test then, saying what the
machine refused (``require_isolation(server)`` does the same for a server a
test starts itself).
"""

from __future__ import annotations

import pytest

from opensandbox_local.serve import ServerThread
from opensandbox_local.server import LocalOpenSandbox


@pytest.fixture(scope="session")
def opensandbox_server():
    server = LocalOpenSandbox()
    thread = ServerThread(server)
    thread.start()
    yield server
    thread.stop()


def require_isolation(server: LocalOpenSandbox) -> None:
    if not server.isolate:
        pytest.skip("sandboxes share the host's tree and network here: " + server.isolation_reason)


@pytest.fixture
def opensandbox_local(opensandbox_server):
    require_isolation(opensandbox_server)
    opensandbox_server.faults.reset()
    opensandbox_server.clear_snapshots()
    opensandbox_server.forget_requests()
    yield opensandbox_server
    leaked = opensandbox_server.live_sandbox_ids()
    opensandbox_server.kill_all()
    opensandbox_server.faults.reset()
    if leaked:
        pytest.fail(f"sandboxes left running after the test: {leaked}", pytrace=False)
