"""The sandbox's command daemon: commands, code, files and the health ping.

Runs inside the sandbox (its namespaces, its root) and serves on a Unix socket
in the sandbox's ``/run``; the lifecycle server forwards the endpoint traffic
to it. Commands are shell processes, each in a process group of its own so
that a time-out or an interrupt stops the whole tree. Code goes to the code
server named by ``JUPYTER_HOST``, with ``JUPYTER_TOKEN``, as it would to the
sandbox's Jupyter server.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import time
import uuid
from collections.abc import AsyncIterator

import httpx
import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

# Idle connections stay open longer than the server's client to this daemon
# keeps them pooled (httpx's keepalive_expiry, 5 s): closing one at the same
# moment as the client reuses it fails that call ("Server disconnected without
# sending a response"), and the proxy answers 502.
KEEP_ALIVE_SECONDS = 60
_commands: dict[str, asyncio.subprocess.Process] = {}
_jupyter_client: httpx.AsyncClient | None = None


def _client() -> httpx.AsyncClient:
    # One client for the daemon's life: making one per request costs more
    # than the request itself.
    global _jupyter_client
    if _jupyter_client is None:
        _jupyter_client = httpx.AsyncClient(timeout=httpx.Timeout(10.0, read=None))
    return _jupyter_client


def _now_ms() -> int:
    return int(time.time() * 1000)


def _sse(event: dict) -> bytes:
    event.setdefault("timestamp", _now_ms())
    return b"data: " + json.dumps(event).encode() + b"\n\n"


def _error(status: int, code: str, message: str) -> JSONResponse:
    return JSONResponse({"code": code, "message": message}, status_code=status)


async def ping(request: Request) -> Response:
    return Response(status_code=200)


async def _pump(stream: asyncio.StreamReader, kind: str, out: asyncio.Queue) -> None:
    while line := await stream.readline():
        await out.put({"type": kind, "text": line.decode(errors="replace")})


async def run_command(request: Request) -> Response:
    body = await request.json()
    command, argv = body.get("command"), body.get("argv")
    if not command and not argv:
        return _error(400, "INVALID_REQUEST", "command is required")
    env = {**os.environ, **(body.get("envs") or {})}
    cwd = body.get("cwd") or "/"
    timeout_ms = body.get("timeout")
    if argv:
        spawn = asyncio.create_subprocess_exec(*argv, **_spawn_options(env, cwd))
    else:
        spawn = asyncio.create_subprocess_exec("/bin/bash", "-c", command, **_spawn_options(env, cwd))
    try:
        process = await spawn
    except OSError as exc:
        return _error(400, "COMMAND_START_FAILED", str(exc))
    execution_id = uuid.uuid4().hex
    _commands[execution_id] = process

    async def events() -> AsyncIterator[bytes]:
        started = time.monotonic()
        lines: asyncio.Queue = asyncio.Queue()
        pumps = [asyncio.create_task(_pump(process.stdout, "stdout", lines)),
                 asyncio.create_task(_pump(process.stderr, "stderr", lines))]
        waiter = asyncio.gather(*pumps)
        try:
            yield _sse({"type": "init", "text": execution_id})
            deadline = None if not timeout_ms else started + timeout_ms / 1000
            while not (waiter.done() and lines.empty()):
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    _stop_group(process)
                    deadline = None
                    continue
                getter = asyncio.ensure_future(lines.get())
                done, _ = await asyncio.wait({getter, waiter}, timeout=remaining,
                                             return_when=asyncio.FIRST_COMPLETED)
                if getter in done:
                    yield _sse(getter.result())
                else:
                    getter.cancel()
            code = await process.wait()
            if code != 0:
                yield _sse({"type": "error", "error": {"ename": "CommandExecError",
                                                       "evalue": str(code), "traceback": []}})
            yield _sse({"type": "execution_complete",
                        "execution_time": int((time.monotonic() - started) * 1000)})
        finally:
            _commands.pop(execution_id, None)
            if process.returncode is None:
                # The client went away: the command does not outlive its request.
                _stop_group(process)
            waiter.cancel()

    return StreamingResponse(events(), media_type="text/event-stream")


def _spawn_options(env: dict, cwd: str) -> dict:
    return {"stdout": asyncio.subprocess.PIPE, "stderr": asyncio.subprocess.PIPE,
            "stdin": asyncio.subprocess.DEVNULL, "env": env, "cwd": cwd,
            "start_new_session": True}


def _stop_group(process: asyncio.subprocess.Process, sig: int = signal.SIGKILL) -> None:
    try:
        os.killpg(process.pid, sig)
    except ProcessLookupError:
        pass


async def interrupt_command(request: Request) -> Response:
    process = _commands.get(request.query_params.get("id", ""))
    if process is None:
        return _error(404, "NOT_FOUND", "no such execution")
    _stop_group(process, signal.SIGINT)
    return Response(status_code=200)


def _jupyter() -> tuple[str, dict]:
    host = os.environ.get("JUPYTER_HOST", "http://127.0.0.1:44771").rstrip("/")
    return host, {"Authorization": "token " + os.environ.get("JUPYTER_TOKEN", "")}


async def run_code(request: Request) -> Response:
    body = await request.json()
    code = body.get("code")
    language = (body.get("context") or {}).get("language") or "python"
    if not isinstance(code, str) or not code.strip():
        return _error(400, "INVALID_REQUEST", "code is required")
    if language != "python":
        return _error(400, "UNSUPPORTED_LANGUAGE", f"language {language!r} is not available")
    execution_id = uuid.uuid4().hex
    host, headers = _jupyter()
    client = _client()
    try:
        upstream = await client.send(
            client.build_request("POST", host + "/api/execute", headers=headers,
                                 json={"id": execution_id, "code": code}),
            stream=True)
    except httpx.HTTPError as exc:
        return _error(502, "JUPYTER_UNREACHABLE", f"code server unreachable: {exc}")
    if upstream.status_code != 200:
        detail = (await upstream.aread()).decode(errors="replace")
        await upstream.aclose()
        return _error(upstream.status_code, "JUPYTER_REJECTED", detail)

    async def events() -> AsyncIterator[bytes]:
        started = time.monotonic()
        try:
            yield _sse({"type": "init", "text": execution_id})
            async for line in upstream.aiter_lines():
                if not line.strip():
                    continue
                event = json.loads(line)
                if event["type"] == "result":
                    yield _sse({"type": "result", "results": {"text/plain": event["text"],
                                                              "text": event["text"]}})
                elif event["type"] == "error":
                    yield _sse({"type": "error", "error": {
                        "ename": event["ename"], "evalue": event["evalue"],
                        "traceback": event["traceback"]}})
                else:
                    yield _sse(event)
            yield _sse({"type": "execution_complete",
                        "execution_time": int((time.monotonic() - started) * 1000)})
        finally:
            await upstream.aclose()

    return StreamingResponse(events(), media_type="text/event-stream")


async def interrupt_code(request: Request) -> Response:
    host, headers = _jupyter()
    try:
        reply = await _client().post(host + "/api/interrupt", headers=headers,
                                     json={"id": request.query_params.get("id", "")})
    except httpx.HTTPError as exc:
        return _error(502, "JUPYTER_UNREACHABLE", str(exc))
    if reply.status_code != 200:
        return _error(reply.status_code, "JUPYTER_REJECTED", reply.text)
    if not reply.json().get("interrupted"):
        return _error(404, "NOT_FOUND", "no such running execution")
    return Response(status_code=200)


async def upload(request: Request) -> Response:
    form = await request.form()
    metadata = None
    for key, value in form.multi_items():
        if key == "metadata":
            raw = await value.read() if hasattr(value, "read") else value
            metadata = json.loads(raw)
        elif key == "file":
            if metadata is None:
                return _error(400, "INVALID_REQUEST", "file part without metadata")
            path = metadata["path"]
            parent = os.path.dirname(path)
            if parent:
                os.makedirs(parent, exist_ok=True)
            data = await value.read() if hasattr(value, "read") else value.encode()
            with open(path, "wb") as handle:
                handle.write(data)
            if metadata.get("mode") is not None:
                os.chmod(path, int(str(metadata["mode"]), 8))
            metadata = None
    await form.close()
    return Response(status_code=200)


async def download(request: Request) -> Response:
    path = request.query_params.get("path", "")
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except FileNotFoundError:
        return _error(404, "FILE_NOT_FOUND", f"no such file: {path}")
    except IsADirectoryError:
        return _error(400, "IS_DIRECTORY", f"is a directory: {path}")
    return Response(data, media_type="application/octet-stream")


app = Starlette(routes=[
    Route("/ping", ping, methods=["GET"]),
    Route("/command", run_command, methods=["POST"]),
    Route("/command", interrupt_command, methods=["DELETE"]),
    Route("/code", run_code, methods=["POST"]),
    Route("/code", interrupt_code, methods=["DELETE"]),
    Route("/files/upload", upload, methods=["POST"]),
    Route("/files/download", download, methods=["GET"]),
])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--socket", required=True)
    args = parser.parse_args()
    if os.path.exists(args.socket):
        os.unlink(args.socket)
    uvicorn.run(app, uds=args.socket, log_level="warning", access_log=False,
                timeout_keep_alive=KEEP_ALIVE_SECONDS)


if __name__ == "__main__":
    main()
