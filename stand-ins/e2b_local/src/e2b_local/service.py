"""The local E2B service: one ASGI app on one loopback port serving the
control plane, every sandbox's daemon API and its code interpreter."""

from __future__ import annotations

import asyncio
import logging
import os
import shutil
import socket
import tempfile
import threading
import time
from pathlib import Path

import uvicorn
from starlette.applications import Starlette
from starlette.datastructures import Headers

from . import control_plane, envd, interpreter
from .isolation import Isolation, choose_isolation, isolation_setting
from .state import ServiceState

JUPYTER_PORT = "49999"


class _QuietDroppedAnswers(logging.Filter):
    """Dropping the connection of a killed sandbox's run is intended."""

    def filter(self, record: logging.LogRecord) -> bool:
        return "returned without completing response" not in record.getMessage()


logging.getLogger("uvicorn.error").addFilter(_QuietDroppedAnswers())
DEFAULT_API_KEY = "e2b_local_key"


def _isolation(isolate: bool | None) -> Isolation:
    """isolate=None follows E2B_LOCAL_ISOLATION (auto, userns, none);
    False turns isolation off, True asks for it even when the setting is none."""
    if isolate is False:
        return Isolation("none", "turned off by the service's caller (isolate=False, --no-isolation)")
    setting = isolation_setting()
    if isolate and setting == "none":
        setting = "auto"
    return choose_isolation(setting)


class LocalE2BService(ServiceState):
    """A local E2B service. Start it in a thread with ``start()`` (or as a
    context manager), or serve it on the running loop with ``serve()``."""

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        state_dir: str | os.PathLike | None = None,
        api_key: str = DEFAULT_API_KEY,
        isolate: bool | None = None,
    ) -> None:
        self.host = host
        self.port = port
        self.api_key = api_key
        self._own_state_dir = state_dir is None
        super().__init__(
            state_dir=Path(state_dir) if state_dir is not None else Path(tempfile.mkdtemp(prefix="e2b-local-")),
            isolation=_isolation(isolate),
        )
        self._loop: asyncio.AbstractEventLoop | None = None
        self._server: uvicorn.Server | None = None
        self._thread: threading.Thread | None = None
        self._stop_asked = False

    # -- what the SDK needs --------------------------------------------

    @property
    def url(self) -> str:
        return f"http://{self.host}:{self.port}"

    @property
    def env(self) -> dict[str, str]:
        """Environment variables that point the SDK (and the template
        builder, which only reads the environment) at this service."""
        return {"E2B_API_URL": self.url, "E2B_SANDBOX_URL": self.url, "E2B_API_KEY": self.api_key}

    @property
    def sdk_kwargs(self) -> dict[str, str]:
        """The same as keyword arguments of the SDK's calls."""
        return {"api_url": self.url, "sandbox_url": self.url, "api_key": self.api_key}

    def env_lines(self) -> str:
        return "".join(f"export {key}={value}\n" for key, value in self.env.items())

    # -- the ASGI app --------------------------------------------------

    def asgi_app(self):
        api = Starlette(routes=control_plane.routes(self))
        envd_http = Starlette(routes=envd.routes(self))
        jupyter = interpreter.drop_connection_on_gone(Starlette(routes=interpreter.routes(self)))
        process = envd.process_app(self)

        async def app(scope, receive, send):
            if scope["type"] != "http":
                return await api(scope, receive, send)
            headers = Headers(scope=scope)
            sandbox_id = headers.get("e2b-sandbox-id")
            if sandbox_id is None:
                # Signed file URLs carry no headers: the signature names the sandbox.
                target = envd_http if scope["path"] == "/files" else api
                return await target(scope, receive, send)
            sandbox = self.sandboxes.get(sandbox_id)
            if sandbox is None:
                # What the real edge proxy answers for a sandbox that is gone.
                return await envd.envd_error(502, f"The sandbox {sandbox_id} was not found")(scope, receive, send)
            if headers.get("e2b-sandbox-port") == JUPYTER_PORT:
                return await jupyter(scope, receive, send)
            if headers.get("x-access-token") != sandbox.access_token:
                return await envd.envd_error(401, "invalid access token")(scope, receive, send)
            if scope["path"].startswith("/process.Process/"):
                return await process(scope, receive, send)
            return await envd_http(scope, receive, send)

        return app

    # -- running -------------------------------------------------------

    def bind(self) -> socket.socket:
        """Takes the port now (0 picks a free one), before serving."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # Accepted connections inherit this; without it the small writes of
        # an answer wait on the client's delayed ACK, some 40 ms a call.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.bind((self.host, self.port))
        sock.listen(512)
        self.port = sock.getsockname()[1]
        return sock

    async def serve(self, sock: socket.socket | None = None) -> None:
        """Serves on the running loop until ``stop()`` (or a signal, in the
        main thread); every sandbox is killed on the way out."""
        sock = sock or self.bind()
        self._loop = asyncio.get_running_loop()
        # Idle connections stay open longer than the SDK keeps them pooled
        # (300 s), so the SDK never reuses one that the server is closing.
        config = uvicorn.Config(self.asgi_app(), log_level="warning", lifespan="off",
                                timeout_graceful_shutdown=2, backlog=512, timeout_keep_alive=330)
        self._server = uvicorn.Server(config)
        # A stop asked for before the server existed.
        self._server.should_exit = self._stop_asked
        try:
            await self._server.serve(sockets=[sock])
        finally:
            self.stopping = True
            self.faults.release()
            await self.kill_all()
            self.cancel_builds()
            sock.close()

    def start(self) -> LocalE2BService:
        """Serves in a background thread; returns once it accepts calls."""
        sock = self.bind()
        failure: list[BaseException] = []

        def run() -> None:
            try:
                asyncio.run(self.serve(sock))
            except BaseException as error:  # reported to the starting thread
                failure.append(error)

        self._thread = threading.Thread(target=run, name="e2b-local", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 30
        while not (self._server is not None and self._server.started):
            if failure or not self._thread.is_alive():
                raise RuntimeError("the local E2B service did not start") from (failure[0] if failure else None)
            if time.monotonic() > deadline:
                raise RuntimeError("the local E2B service did not start within 30 seconds")
            time.sleep(0.01)
        return self

    def call(self, coroutine, timeout: float = 60):
        """Runs a coroutine on the service's loop from another thread."""
        return asyncio.run_coroutine_threadsafe(coroutine, self._loop).result(timeout)

    def stop_serving(self) -> None:
        """Ends ``serve()`` from any thread; it kills every sandbox on its way out."""
        self._stop_asked = True
        if self._server is not None:
            self._server.should_exit = True

    def stop(self) -> None:
        self.stopping = True
        self.faults.release()
        if self._loop is not None and self._thread is not None and self._thread.is_alive():
            # Sandboxes first, so that calls still streaming end at once.
            self.call(self.kill_all())
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(60)
            self._thread = None
        if self._own_state_dir:
            shutil.rmtree(self.state_dir, ignore_errors=True)

    def __enter__(self) -> LocalE2BService:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
