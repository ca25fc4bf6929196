"""The in-sandbox daemon's API: the process service (Connect RPC, served by
the SDK's own generated ASGI stub), the files API and the health check."""

from __future__ import annotations

import asyncio
import base64
import fcntl
import hashlib
import os
import signal
import struct
import termios
import time
from pathlib import Path

from connectrpc.code import Code
from connectrpc.errors import ConnectError
from e2b.envd.process import process_pb
from e2b.envd.process.process_connect import Process, ProcessASGIApplication
from protobuf import Oneof
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .control_plane import apply_fault
from .sandbox import HOME, PathOutsideSandbox, Sandbox
from .state import ServiceState

Event = process_pb.ProcessEvent
# Silent commands still send a keep-alive this often, which is also how a
# client that went away is noticed while its command runs.
KEEPALIVE_SECONDS = 1.0
# Once the command has exited (and what it wrote is taken), output of
# background children still holding the pipes is read for this long; they do
# not keep the call open.
PIPE_DRAIN_SECONDS = 0.2
POLL_SECONDS = 0.05


def envd_error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"code": status, "message": message}, status_code=status)


def file_target(sandbox: Sandbox, path: str) -> tuple[Path | None, JSONResponse | None]:
    """The host file that `path` names in the sandbox, or the error that refuses it."""
    try:
        target = sandbox.host_path(path)
    except PathOutsideSandbox as error:
        return None, envd_error(400, str(error))
    if target.is_dir():
        return None, envd_error(400, f"path '{path}' is a directory")
    return target, None


def file_signature(path: str, operation: str, username: str | None, token: str, expiration: int | None) -> str:
    """The v1 signature of a file URL, as the SDK computes it."""
    raw = f"{path}:{operation}:{username or ''}:{token}"
    if expiration is not None:
        raw += f":{expiration}"
    digest = hashlib.sha256(raw.encode("utf-8")).digest()
    return "v1_" + base64.b64encode(digest).rstrip(b"=").decode("ascii")


def _event(**kind) -> process_pb.StartResponse:
    (name, value), = kind.items()
    return process_pb.StartResponse(event=Event(event=Oneof(name, value)))


def _end_event(returncode: int) -> process_pb.StartResponse:
    if returncode >= 0:
        end = Event.EndEvent(exit_code=returncode, exited=True, status=f"exit status {returncode}")
    else:
        name = signal.Signals(-returncode).name.removeprefix("SIG").lower()
        end = Event.EndEvent(exit_code=-1, exited=False, status=f"signal: {name}")
    return _event(end=end)


class _OutputPipes:
    """A command's stdout and stderr: pipes of our own, read into `chunks`
    as (name, bytes) while the command runs and (name, None) at their end.

    Once the command has exited, everything it wrote is in the pipes;
    `take_buffered` moves all of it into the queue at once, so that none is
    lost however late a busy loop comes round to read it. Only output of
    background children still running is left to the drain window."""

    def __init__(self, chunks: asyncio.Queue) -> None:
        self._chunks = chunks
        self._loop = asyncio.get_running_loop()
        self._read_ends: dict[str, int] = {}
        self.write_ends: dict[str, int] = {}
        for name in ("stdout", "stderr"):
            read_end, write_end = os.pipe()
            os.set_blocking(read_end, False)
            self._read_ends[name], self.write_ends[name] = read_end, write_end

    def start(self) -> None:
        """After the spawn: the child holds its copies of the write ends, so
        ours are closed (the pipes end when the last writer goes)."""
        for fd in self.write_ends.values():
            os.close(fd)
        self.write_ends.clear()
        for name, fd in self._read_ends.items():
            self._loop.add_reader(fd, self._read, name, 65536)

    def _read(self, name: str, size: int) -> int:
        """Reads at most `size` bytes into the queue; the number read."""
        try:
            data = os.read(self._read_ends[name], size)
        except BlockingIOError:
            return 0
        if not data:
            self._end(name)
            return 0
        self._chunks.put_nowait((name, data))
        return len(data)

    def take_buffered(self) -> None:
        # Bounded by what the pipe holds now: a background child that keeps
        # writing cannot keep this going.
        for name in list(self._read_ends):
            pending = _unread_bytes(self._read_ends[name])
            while pending > 0 and name in self._read_ends:
                taken = self._read(name, pending)
                if not taken:
                    break
                pending -= taken

    def _end(self, name: str) -> None:
        fd = self._read_ends.pop(name)
        self._loop.remove_reader(fd)
        os.close(fd)
        self._chunks.put_nowait((name, None))

    def close(self) -> None:
        for fd in self.write_ends.values():
            os.close(fd)
        self.write_ends.clear()
        for fd in self._read_ends.values():
            self._loop.remove_reader(fd)
            os.close(fd)
        self._read_ends.clear()


def _unread_bytes(fd: int) -> int:
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


class ProcessService(Process):
    """The process service of one service instance; the sandbox of each
    call is named by the E2b-Sandbox-Id header (checked by the router)."""

    def __init__(self, service: ServiceState) -> None:
        self._service = service

    def _sandbox(self, ctx) -> Sandbox:
        sandbox = self._service.sandboxes.get(ctx.request_headers.get("e2b-sandbox-id", ""))
        if sandbox is None:
            raise ConnectError(Code.UNAVAILABLE, "The sandbox was not found")
        return sandbox

    async def start(self, request: process_pb.StartRequest, ctx):
        sandbox = self._sandbox(ctx)
        config = request.process
        if config is None or not config.cmd:
            raise ConnectError(Code.INVALID_ARGUMENT, "process.cmd is required")
        cwd = config.cwd if config.has_field("cwd") and config.cwd else HOME
        wants_stdin = request.stdin if request.has_field("stdin") else True
        timeout_ms = ctx.timeout_ms
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout_ms / 1000 if timeout_ms else None
        chunks: asyncio.Queue[tuple[str, bytes | None]] = asyncio.Queue()
        output = _OutputPipes(chunks)
        try:
            process = await sandbox.spawn(
                [config.cmd, *config.args],
                env=dict(config.envs),
                cwd=cwd,
                stdin=asyncio.subprocess.PIPE if wants_stdin else asyncio.subprocess.DEVNULL,
                stdout=output.write_ends["stdout"],
                stderr=output.write_ends["stderr"],
            )
        except ProcessLookupError as gone:
            output.close()
            # Killed between routing and start: what the edge says for it.
            raise ConnectError(Code.UNAVAILABLE, "The sandbox was not found") from gone
        except BaseException:
            output.close()
            raise
        output.start()
        try:
            yield _event(start=Event.StartEvent(pid=process.pid))
            open_pipes, drain_until, last_sent = 2, None, loop.time()
            while open_pipes:
                now = loop.time()
                if deadline is not None and now >= deadline:
                    sandbox.kill_group(process.pid)
                    raise ConnectError(Code.DEADLINE_EXCEEDED, "the command ran out of time and was killed")
                # The exit is seen by polling: asyncio's wait() also waits
                # for the pipes, which a background child may hold open.
                if process.returncode is not None:
                    if drain_until is None:
                        output.take_buffered()
                        drain_until = now + PIPE_DRAIN_SECONDS
                    elif now >= drain_until:
                        break
                wait = POLL_SECONDS if deadline is None else min(POLL_SECONDS, deadline - now)
                try:
                    name, chunk = await asyncio.wait_for(chunks.get(), max(wait, 0))
                except TimeoutError:
                    if process.returncode is None and now - last_sent >= KEEPALIVE_SECONDS:
                        last_sent = now
                        yield _event(keepalive=Event.KeepAlive())
                    continue
                if chunk is None:
                    open_pipes -= 1
                else:
                    last_sent = loop.time()
                    yield _event(data=Event.DataEvent(output=Oneof(name, chunk)))
            # Output already read goes out even when the window above has
            # closed (a busy loop may come back to it late); what arrives
            # after this does not keep the call open.
            for _ in range(chunks.qsize()):
                name, chunk = chunks.get_nowait()
                if chunk is not None:
                    yield _event(data=Event.DataEvent(output=Oneof(name, chunk)))
            if process.returncode is None:
                # Both pipes are closed here, so wait() ends with the process.
                remaining = None if deadline is None else max(deadline - loop.time(), 0)
                try:
                    await asyncio.wait_for(process.wait(), remaining)
                except TimeoutError:
                    sandbox.kill_group(process.pid)
                    raise ConnectError(Code.DEADLINE_EXCEEDED, "the command ran out of time and was killed")
            yield _end_event(process.returncode)
        finally:
            # A caller that goes away (or runs out of time) takes the
            # command's whole process group with it.
            if process.returncode is None:
                sandbox.kill_group(process.pid)
            output.close()
            sandbox.forget(process)

    async def send_signal(self, request: process_pb.SendSignalRequest, ctx) -> process_pb.SendSignalResponse:
        sandbox = self._sandbox(ctx)
        selector = request.process.selector if request.process else None
        match selector:
            case Oneof(field="pid", value=pid) if pid in sandbox.processes:
                signum = signal.SIGTERM if request.signal == process_pb.Signal.SIGTERM else signal.SIGKILL
                sandbox.kill_group(pid, signum)
                return process_pb.SendSignalResponse()
        raise ConnectError(Code.NOT_FOUND, "process not found")

    async def list(self, request: process_pb.ListRequest, ctx) -> process_pb.ListResponse:
        sandbox = self._sandbox(ctx)
        return process_pb.ListResponse(
            processes=[process_pb.ProcessInfo(pid=pid) for pid in sorted(sandbox.processes)]
        )


def process_app(service: ServiceState) -> ProcessASGIApplication:
    return ProcessASGIApplication(ProcessService(service))


def routes(service: ServiceState) -> list[Route]:
    def sandbox_of(request: Request) -> tuple[Sandbox | None, Response | None, bool]:
        """The sandbox a files call is for: by header and access token, or,
        for a signed URL (no headers at all), by whose token signed it."""
        sandbox_id = request.headers.get("e2b-sandbox-id")
        if sandbox_id is not None:
            sandbox = service.sandboxes.get(sandbox_id)
            if sandbox is None:
                return None, envd_error(502, f"The sandbox {sandbox_id} was not found"), False
            if request.headers.get("x-access-token") != sandbox.access_token:
                return None, envd_error(401, "invalid access token"), False
            return sandbox, None, False
        signature = request.query_params.get("signature")
        if not signature:
            return None, envd_error(401, "missing access token or signature"), True
        path = request.query_params.get("path", "")
        username = request.query_params.get("username")
        expiration = request.query_params.get("signature_expiration")
        expires = int(expiration) if expiration and expiration.isdigit() else None
        operation = "read" if request.method == "GET" else "write"
        for sandbox in list(service.sandboxes.values()):
            if file_signature(path, operation, username, sandbox.access_token, expires) == signature:
                if expires is not None and expires < time.time():
                    return None, envd_error(401, "signature expired"), True
                return sandbox, None, True
        return None, envd_error(401, "invalid signature"), True

    async def download(request: Request) -> Response:
        sandbox, refused, signed = sandbox_of(request)
        if signed and (faulted := await apply_fault(service, "download_url", request)) is not None:
            return faulted
        if refused is not None:
            return refused
        path = request.query_params.get("path", "")
        target, refused = file_target(sandbox, path)
        if refused is not None:
            return refused
        try:
            content = await asyncio.to_thread(target.read_bytes)
        except FileNotFoundError:
            return envd_error(404, f"path '{path}' does not exist")
        name = os.path.basename(path)
        return Response(content, media_type="application/octet-stream",
                        headers={"Content-Disposition": f'attachment; filename="{name}"'})

    async def upload(request: Request) -> Response:
        sandbox, refused, _ = sandbox_of(request)
        if refused is not None:
            return refused
        query_path = request.query_params.get("path")
        if request.headers.get("content-type", "").startswith("multipart/form-data"):
            form = await request.form()
            uploads = [(value.filename, await value.read()) for key, value in form.multi_items()
                       if key == "file" and hasattr(value, "read")]
            if len(uploads) == 1 and query_path:
                uploads = [(query_path, uploads[0][1])]
        else:
            uploads = [(query_path, await request.body())]
        if (faulted := await apply_fault(service, "write", request)) is not None:
            return faulted
        written = []
        for path, data in uploads:
            if not path:
                return envd_error(400, "a path is required for every file")
            target, refused = file_target(sandbox, path)
            if refused is not None:
                return refused

            def write(target=target, data=data) -> None:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)

            await asyncio.to_thread(write)
            shown = "/" + str(target.relative_to(sandbox.root))
            written.append({"name": os.path.basename(shown), "type": "file", "path": shown})
        return JSONResponse(written)

    async def health(request: Request) -> Response:
        return Response(status_code=204)

    return [
        Route("/files", download, methods=["GET"]),
        Route("/files", upload, methods=["POST"]),
        Route("/health", health, methods=["GET"]),
    ]
