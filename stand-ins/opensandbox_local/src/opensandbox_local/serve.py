"""Running the server: in a background thread (tests) or in the foreground."""

from __future__ import annotations

import contextlib
import socket
import threading
from collections.abc import Iterator

import uvicorn

from opensandbox_local.server import LocalOpenSandbox

# Idle connections stay open longer than the SDK keeps them pooled (its
# keepalive_expiry, 30 s by default): a server that drops an idle connection
# first races the SDK reusing it, and the call fails with a read error.
KEEP_ALIVE_SECONDS = 75


def _bound_socket(host: str, port: int) -> socket.socket:
    # IPPROTO_TCP spelled out: asyncio turns Nagle off only on sockets that
    # say so, and with Nagle every keep-alive answer waits out a delayed ACK.
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    return sock


class ServerThread:
    """uvicorn serving one ``LocalOpenSandbox`` on its own thread and loop."""

    def __init__(self, server: LocalOpenSandbox, *, port: int = 0) -> None:
        self.server = server
        # Binding here, before the thread starts, fixes the port the
        # connection settings name and avoids a race for a free one.
        self._socket = _bound_socket(server.host, port)
        server.port = self._socket.getsockname()[1]
        config = uvicorn.Config(server.app, log_level="warning", access_log=False,
                                lifespan="on", timeout_graceful_shutdown=5,
                                timeout_keep_alive=KEEP_ALIVE_SECONDS)
        self._uvicorn = uvicorn.Server(config)
        self._thread = threading.Thread(target=self._run, name="opensandbox-local", daemon=True)

    def _run(self) -> None:
        self._uvicorn.run(sockets=[self._socket])

    def start(self) -> None:
        self._thread.start()
        while not self._uvicorn.started:
            if not self._thread.is_alive():
                raise RuntimeError("the local OpenSandbox server failed to start")
            self._thread.join(0.01)

    def stop(self) -> None:
        self._uvicorn.should_exit = True
        self._thread.join(10)
        self._socket.close()
        self.server.close()


@contextlib.contextmanager
def running_server(**options) -> Iterator[LocalOpenSandbox]:
    server = LocalOpenSandbox(**options)
    thread = ServerThread(server)
    thread.start()
    try:
        yield server
    finally:
        thread.stop()
