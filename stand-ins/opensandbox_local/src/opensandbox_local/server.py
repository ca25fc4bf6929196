"""The local OpenSandbox server: lifecycle API and the forwarded sandbox API.

The lifecycle API (under ``/v1``) creates, describes and kills sandboxes,
answers their endpoints, keeps snapshots and takes the SDK's metric reports.
Every endpoint it hands out points back at this server
(``/sandboxes/{id}/proxy/{port}``), which forwards the request to the
sandbox's own command daemon over its Unix socket, streaming the answer, as
the real server's proxy mode does. Responses are built with the SDK's own
generated wire models, so they parse exactly as the real server's do.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime as dt
import os
import shutil
import tempfile
import threading
import time
import uuid
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field

import httpx
from opensandbox.api.lifecycle.models import (
    CreateSandboxResponse,
    Endpoint,
    ImageSpec,
    ListSnapshotsResponse,
    PaginationInfo,
    Sandbox as ApiSandbox,
    SandboxStatus,
    Snapshot as ApiSnapshot,
    SnapshotStatus,
)
from opensandbox.api.lifecycle.types import UNSET
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from opensandbox_local.faults import Faults
from opensandbox_local.runtime import ISOLATION_SETTING, SandboxProcess, choose_isolation, copy_tree, remove_tree

_PROXY_OPERATIONS = {
    ("GET", "ping"): "ping",
    ("POST", "command"): "run_command",
    ("DELETE", "command"): "interrupt_command",
    ("POST", "code"): "run_code",
    ("DELETE", "code"): "interrupt_code",
    ("POST", "files/upload"): "upload",
    ("GET", "files/download"): "download",
}


def _now() -> dt.datetime:
    return dt.datetime.now(dt.timezone.utc)


def _error(status: int, code: str, message: str) -> JSONResponse:
    return JSONResponse({"code": code, "message": message}, status_code=status)


@dataclass
class SandboxRecord:
    id: str
    runtime: SandboxProcess
    entrypoint: list[str]
    created_at: dt.datetime
    expires_at: dt.datetime | None
    image: str | None
    snapshot_id: str | None
    state: str = "Pending"
    expiry: asyncio.TimerHandle | None = None
    pending_until: float = 0.0  # monotonic: endpoints are not published before
    starting: asyncio.Task | None = None  # a pending sandbox's start, behind the answer
    # One client per sandbox for the forwarded calls: making an httpx client
    # costs tens of milliseconds (its TLS context), far more than a call.
    client: httpx.AsyncClient | None = None

    def execd_client(self) -> httpx.AsyncClient:
        if self.client is None:
            self.client = httpx.AsyncClient(
                transport=httpx.AsyncHTTPTransport(uds=self.runtime.execd_socket),
                timeout=httpx.Timeout(30.0, read=None))
        return self.client

    async def release(self) -> None:
        if self.expiry is not None:
            self.expiry.cancel()
        if self.starting is not None:
            # Its process may be coming up in a thread: destroyed once it is.
            await asyncio.gather(asyncio.shield(self.starting), return_exceptions=True)
        if self.client is not None:
            await self.client.aclose()
        await asyncio.to_thread(self.runtime.destroy)


@dataclass
class SnapshotRecord:
    id: str
    sandbox_id: str
    name: str | None
    created_at: dt.datetime
    path: str
    state: str = "Creating"
    message: str = ""
    copied: threading.Event = field(default_factory=threading.Event)

    def to_api(self) -> ApiSnapshot:
        return ApiSnapshot(
            id=self.id, sandbox_id=self.sandbox_id,
            status=SnapshotStatus(state=self.state, message=self.message or UNSET),
            created_at=self.created_at, name=self.name if self.name is not None else UNSET)


class LocalOpenSandbox:
    """State and routes of one server; ``app`` is the ASGI application."""

    def __init__(self, *, base_dir: str | None = None, api_key: str | None = None,
                 isolate: bool | None = None) -> None:
        self.api_key = api_key
        # isolation: "namespaces", "userns" (through a user namespace) or
        # "none", with why in isolation_reason; isolate says whether there is any.
        if isolate is None:
            self.isolation, self.isolation_reason = choose_isolation()
        elif isolate:
            wanted = os.environ.get(ISOLATION_SETTING)
            userns = wanted == "userns" or os.geteuid() != 0
            self.isolation, self.isolation_reason = ("userns" if userns else "namespaces"), ""
        else:
            self.isolation, self.isolation_reason = "none", "isolation turned off by the server's owner"
        self.isolate = self.isolation != "none"
        self._own_base = base_dir is None
        self.base_dir = base_dir or tempfile.mkdtemp(prefix="opensandbox-local-")
        os.makedirs(os.path.join(self.base_dir, "sandboxes"), exist_ok=True)
        os.makedirs(os.path.join(self.base_dir, "snapshots"), exist_ok=True)
        self.faults = Faults()
        self.sandboxes: dict[str, SandboxRecord] = {}
        self.snapshots: dict[str, SnapshotRecord] = {}
        self.metric_events: list[dict] = []
        # What each creation asked for (image, registry login, entrypoint,
        # environment, extensions), for tests that check what reached the server.
        self.create_requests: list[dict] = []
        self.host = "127.0.0.1"
        self.port = 0
        self._lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._background: set[asyncio.Task] = set()
        self.app = Starlette(routes=self._routes(), lifespan=self._lifespan)

    # Views for tests --------------------------------------------------------

    @property
    def domain(self) -> str:
        return f"{self.host}:{self.port}"

    def live_sandbox_ids(self) -> list[str]:
        with self._lock:
            return [sid for sid, record in self.sandboxes.items() if record.runtime.alive()]

    def live_count(self) -> int:
        return len(self.live_sandbox_ids())

    def kill_all(self) -> None:
        with self._lock:
            records = list(self.sandboxes.values())
            self.sandboxes.clear()
        loop = self._loop
        for record in records:
            if loop is not None and loop.is_running():
                # Its timer and client belong to the server's loop.
                asyncio.run_coroutine_threadsafe(record.release(), loop).result(timeout=60)
            else:
                record.runtime.destroy()
        if loop is not None and loop.is_running():
            # Sandboxes killed while they were still starting.
            asyncio.run_coroutine_threadsafe(self._settle_background(), loop).result(timeout=60)

    async def _settle_background(self) -> None:
        await asyncio.gather(*self._background, return_exceptions=True)

    def forget_requests(self) -> None:
        self.metric_events.clear()
        self.create_requests.clear()

    def clear_snapshots(self) -> None:
        with self._lock:
            records = list(self.snapshots.values())
            self.snapshots.clear()
        for record in records:
            record.copied.wait(10)
            remove_tree(record.path)

    def close(self) -> None:
        self.kill_all()
        self.clear_snapshots()
        if self._own_base:
            shutil.rmtree(self.base_dir, ignore_errors=True)

    @contextlib.asynccontextmanager
    async def _lifespan(self, app):
        self._loop = asyncio.get_running_loop()
        yield
        await asyncio.to_thread(self.kill_all)

    # Plumbing ---------------------------------------------------------------

    def _routes(self) -> list[Route]:
        return [
            Route("/v1/sandboxes", self.create_sandbox, methods=["POST"]),
            Route("/v1/sandboxes/{sandbox_id}", self.get_sandbox, methods=["GET"]),
            Route("/v1/sandboxes/{sandbox_id}", self.kill_sandbox, methods=["DELETE"]),
            Route("/v1/sandboxes/{sandbox_id}/endpoints/{port:int}", self.get_endpoint,
                  methods=["GET"]),
            Route("/v1/sandboxes/{sandbox_id}/snapshots", self.create_snapshot, methods=["POST"]),
            Route("/v1/snapshots", self.list_snapshots, methods=["GET"]),
            Route("/v1/snapshots/{snapshot_id}", self.get_snapshot, methods=["GET"]),
            Route("/v1/snapshots/{snapshot_id}", self.delete_snapshot, methods=["DELETE"]),
            Route("/v1/metrics/events", self.metrics_event, methods=["POST"]),
            Route("/sandboxes/{sandbox_id}/proxy/{port:int}/{path:path}", self.proxy,
                  methods=["GET", "POST", "DELETE", "PUT", "PATCH"]),
        ]

    async def _enter(self, request: Request, operation: str) -> Response | None:
        """Count the call and apply its fault switches; an answer ends the call."""
        delay, failure, pending = self.faults.on_call(operation)
        request.state.pending = pending
        if delay:
            await asyncio.sleep(delay)
        if failure is not None:
            return _error(failure.status, failure.code, failure.message)
        if (operation in _LIFECYCLE_OPERATIONS and self.api_key
                and request.headers.get("OPEN-SANDBOX-API-KEY") != self.api_key):
            return _error(401, "UNAUTHORIZED", "missing or invalid API key")
        return None

    def _record(self, sandbox_id: str) -> SandboxRecord | None:
        with self._lock:
            return self.sandboxes.get(sandbox_id)

    # Lifecycle --------------------------------------------------------------

    async def create_sandbox(self, request: Request) -> Response:
        if (answer := await self._enter(request, "create_sandbox")) is not None:
            return answer
        body = await request.json()
        self.create_requests.append(body)
        image = (body.get("image") or {}).get("uri")
        snapshot_id = body.get("snapshotId")
        if (image is None) == (snapshot_id is None):
            return _error(400, "INVALID_REQUEST", "exactly one of image and snapshotId is required")
        source = None
        if snapshot_id is not None:
            with self._lock:
                snapshot = self.snapshots.get(snapshot_id)
            if snapshot is None:
                return _error(404, "SNAPSHOT_NOT_FOUND", f"snapshot {snapshot_id} not found")
            if snapshot.state != "Ready":
                return _error(409, "SNAPSHOT_NOT_READY", f"snapshot {snapshot_id} is {snapshot.state}")
            source = snapshot.path
        entrypoint = list(body.get("entrypoint") or ["tail", "-f", "/dev/null"])
        env = {str(k): str(v) for k, v in (body.get("env") or {}).items()}
        sandbox_id = "sbx-" + uuid.uuid4().hex[:12]
        home = tempfile.mkdtemp(prefix=sandbox_id + "-", dir=os.path.join(self.base_dir, "sandboxes"))
        runtime = SandboxProcess(home, self.isolation)
        created = _now()
        timeout = body.get("timeout")
        record = SandboxRecord(
            id=sandbox_id, runtime=runtime, entrypoint=entrypoint, created_at=created,
            expires_at=created + dt.timedelta(seconds=timeout) if timeout else None,
            image=image, snapshot_id=snapshot_id)
        start = (runtime, entrypoint, env, source, self.faults.daemon_start_delay)
        if request.state.pending:
            # A sandbox held pending is answered at once, as a real service
            # answers while it provisions, and starts behind the answer: how
            # long its readiness takes is the switch's, not this machine's.
            record.pending_until = time.monotonic() + request.state.pending
            record.starting = asyncio.get_running_loop().create_task(self._start_pending(record, start))
            self._track(record.starting)
        else:
            async def client_waits() -> bool:
                return self.faults.abandoned_sandboxes_stay or not await request.is_disconnected()

            try:
                ready = await self._start_runtime(*start, wanted=client_waits)
            except BaseException:
                await asyncio.to_thread(runtime.destroy)
                raise
            if not await client_waits():
                # The client gave up waiting: nobody will ever kill this sandbox.
                await asyncio.to_thread(runtime.destroy)
                return _error(499, "CLIENT_CLOSED_REQUEST", "the client went away during creation")
            if not ready:
                await asyncio.to_thread(runtime.destroy)
                return _error(500, "SANDBOX_START_FAILED", "the sandbox did not start its command daemon")
            record.state = "Running"
        if timeout:
            loop = asyncio.get_running_loop()
            record.expiry = loop.call_later(timeout, self._expire, sandbox_id)
        with self._lock:
            self.sandboxes[sandbox_id] = record
        answer = CreateSandboxResponse(
            id=sandbox_id, status=SandboxStatus(state=record.state), created_at=created,
            entrypoint=entrypoint, expires_at=record.expires_at or UNSET)
        return JSONResponse(answer.to_dict(), status_code=202)

    @staticmethod
    async def _start_runtime(runtime: SandboxProcess, entrypoint, env, source, daemon_delay, *,
                             wanted: Callable[[], Awaitable[bool]]) -> bool:
        await asyncio.to_thread(runtime.start, entrypoint=entrypoint, env=env, from_snapshot=source,
                                daemon_delay=daemon_delay)
        return await runtime.wait_ready(wanted)

    async def _start_pending(self, record: SandboxRecord, start) -> None:
        async def still_registered() -> bool:
            # Until it is killed or expires: the client polls its endpoints
            # for as long as it chooses to wait, then kills it.
            return self._record(record.id) is record

        try:
            ready = await self._start_runtime(*start, wanted=still_registered)
        except BaseException:
            ready = False
        record.state = "Running" if ready else "Failed"
        if not ready:
            await asyncio.to_thread(record.runtime.destroy)

    def _expire(self, sandbox_id: str) -> None:
        with self._lock:
            record = self.sandboxes.pop(sandbox_id, None)
        if record is not None:
            asyncio.get_running_loop().create_task(record.release())

    async def get_sandbox(self, request: Request) -> Response:
        if (answer := await self._enter(request, "get_sandbox")) is not None:
            return answer
        record = self._record(request.path_params["sandbox_id"])
        if record is None:
            return _error(404, "SANDBOX_NOT_FOUND", "sandbox not found")
        state = record.state if record.state == "Pending" or record.runtime.alive() else "Failed"
        answer = ApiSandbox(
            id=record.id, status=SandboxStatus(state=state), entrypoint=record.entrypoint,
            created_at=record.created_at,
            image=ImageSpec(uri=record.image) if record.image is not None else UNSET,
            snapshot_id=record.snapshot_id if record.snapshot_id is not None else UNSET,
            expires_at=record.expires_at or UNSET)
        return JSONResponse(answer.to_dict())

    async def kill_sandbox(self, request: Request) -> Response:
        if (answer := await self._enter(request, "kill_sandbox")) is not None:
            return answer
        with self._lock:
            record = self.sandboxes.pop(request.path_params["sandbox_id"], None)
        if record is None:
            return _error(404, "SANDBOX_NOT_FOUND", "sandbox not found")
        if record.starting is not None and not record.starting.done():
            # Gone for every client at once; its process goes once it is up.
            self._track(asyncio.get_running_loop().create_task(record.release()))
        else:
            await record.release()
        return Response(status_code=204)

    def _track(self, task: asyncio.Task) -> None:
        self._background.add(task)
        task.add_done_callback(self._background.discard)

    async def get_endpoint(self, request: Request) -> Response:
        if (answer := await self._enter(request, "get_endpoint")) is not None:
            return answer
        sandbox_id, port = request.path_params["sandbox_id"], request.path_params["port"]
        record = self._record(sandbox_id)
        if record is None:
            return _error(404, "SANDBOX_NOT_FOUND", "sandbox not found")
        if time.monotonic() < record.pending_until or record.state == "Pending":
            return _error(404, "KUBERNETES::POD_IP_NOT_AVAILABLE", "the sandbox has no address yet")
        # Direct access would need a route into the sandbox's network
        # namespace, so both modes answer the proxied address.
        answer = Endpoint(endpoint=f"{self.domain}/sandboxes/{sandbox_id}/proxy/{port}")
        return JSONResponse(answer.to_dict())

    async def metrics_event(self, request: Request) -> Response:
        if (answer := await self._enter(request, "metrics_event")) is not None:
            return answer
        self.metric_events.append(await request.json())
        return Response(status_code=204)

    # Snapshots ----------------------------------------------------------------

    async def create_snapshot(self, request: Request) -> Response:
        if (answer := await self._enter(request, "create_snapshot")) is not None:
            return answer
        record = self._record(request.path_params["sandbox_id"])
        if record is None:
            return _error(404, "SANDBOX_NOT_FOUND", "sandbox not found")
        body = await request.json() if await request.body() else {}
        snapshot_id = "snap-" + uuid.uuid4().hex[:12]
        snapshot = SnapshotRecord(
            id=snapshot_id, sandbox_id=record.id, name=body.get("name"), created_at=_now(),
            path=os.path.join(self.base_dir, "snapshots", snapshot_id))
        # The capture is taken now, before answering: the snapshot holds the
        # sandbox as it was when asked, even if the sandbox dies right after.
        try:
            await asyncio.to_thread(copy_tree, record.runtime.root, snapshot.path)
            state, message = self.faults.snapshot_outcome(snapshot.name)
        except OSError as exc:
            state, message = "Failed", f"capture failed: {exc}"
        finally:
            snapshot.copied.set()
        with self._lock:
            self.snapshots[snapshot_id] = snapshot
        asyncio.get_running_loop().create_task(self._settle(snapshot, state, message))
        return JSONResponse(snapshot.to_api().to_dict(), status_code=202)

    async def _settle(self, snapshot: SnapshotRecord, state: str, message: str) -> None:
        await asyncio.sleep(self.faults.snapshot_ready_delay)
        if state != "Creating":
            snapshot.state, snapshot.message = state, message

    async def get_snapshot(self, request: Request) -> Response:
        if (answer := await self._enter(request, "get_snapshot")) is not None:
            return answer
        with self._lock:
            snapshot = self.snapshots.get(request.path_params["snapshot_id"])
        if snapshot is None:
            return _error(404, "SNAPSHOT_NOT_FOUND", "snapshot not found")
        return JSONResponse(snapshot.to_api().to_dict())

    async def list_snapshots(self, request: Request) -> Response:
        if (answer := await self._enter(request, "list_snapshots")) is not None:
            return answer
        query = request.query_params
        try:
            page = int(query.get("page", "1"))
            page_size = int(query.get("pageSize", "20"))
        except ValueError:
            return _error(400, "INVALID_REQUEST", "page and pageSize must be integers")
        if page < 1 or page_size < 1:
            return _error(400, "INVALID_REQUEST", "page and pageSize must be positive")
        states = set(query.getlist("state"))
        with self._lock:
            matching = [s for s in self.snapshots.values()
                        if (not states or s.state in states)
                        and query.get("name") in (None, s.name)
                        and query.get("sandboxId") in (None, s.sandbox_id)]
        total_pages = max(1, -(-len(matching) // page_size))
        items = matching[(page - 1) * page_size: page * page_size]
        has_next = self.faults.endless_pages or page < total_pages
        answer = ListSnapshotsResponse(
            items=[s.to_api() for s in items],
            pagination=PaginationInfo(page=page, page_size=page_size, total_items=len(matching),
                                      total_pages=total_pages, has_next_page=has_next))
        return JSONResponse(answer.to_dict())

    async def delete_snapshot(self, request: Request) -> Response:
        if (answer := await self._enter(request, "delete_snapshot")) is not None:
            return answer
        with self._lock:
            snapshot = self.snapshots.pop(request.path_params["snapshot_id"], None)
        if snapshot is None:
            return _error(404, "SNAPSHOT_NOT_FOUND", "snapshot not found")
        await asyncio.to_thread(snapshot.copied.wait, 10)
        await asyncio.to_thread(remove_tree, snapshot.path)
        return Response(status_code=204)

    # The sandbox's own API ------------------------------------------------------

    async def proxy(self, request: Request) -> Response:
        path = request.path_params["path"].strip("/")
        operation = _PROXY_OPERATIONS.get((request.method, path))
        if operation is None:
            return _error(404, "NOT_FOUND", f"{request.method} /{path} is not served here")
        if (answer := await self._enter(request, operation)) is not None:
            return answer
        record = self._record(request.path_params["sandbox_id"])
        if record is None or not record.runtime.alive():
            return _error(404, "SANDBOX_NOT_FOUND", "sandbox not found")
        client = record.execd_client()
        headers = {k: v for k, v in request.headers.items()
                   if k.lower() in ("content-type", "accept", "range")}
        upstream_request = client.build_request(
            request.method, "http://sandbox/" + path, params=request.query_params,
            headers=headers, content=await request.body())
        try:
            upstream = await client.send(upstream_request, stream=True)
        except httpx.HTTPError as exc:
            return _error(502, "SANDBOX_UNREACHABLE", f"command daemon unreachable: {exc}")

        async def relay():
            # Closed on every way out, a client that goes away included.
            try:
                async for chunk in upstream.aiter_raw():
                    yield chunk
            finally:
                await upstream.aclose()

        return StreamingResponse(relay(), status_code=upstream.status_code,
                                 media_type=upstream.headers.get("content-type"))


_LIFECYCLE_OPERATIONS = frozenset({
    "create_sandbox", "get_sandbox", "kill_sandbox", "get_endpoint", "create_snapshot",
    "get_snapshot", "list_snapshots", "delete_snapshot", "metrics_event"})
