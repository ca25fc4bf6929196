"""The code interpreter's HTTP face (port 49999 of a sandbox): POST /execute
answers a stream of JSON lines, one per output line, then the error or
result of the cell and the end of the execution."""

from __future__ import annotations

import json
import time

from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from .kernel import KernelDied
from .state import ServiceState

LANGUAGES = (None, "python", "python3")


class SandboxGone(Exception):
    """Ends an answer that has started by dropping the connection."""


def drop_connection_on_gone(app):
    """Leaves a streamed answer unfinished when its sandbox is killed; the
    server then closes the connection (and logs one line about it)."""

    async def wrapped(scope, receive, send):
        try:
            await app(scope, receive, send)
        except SandboxGone:
            pass

    return wrapped


def _line(kind: str, **fields) -> str:
    return json.dumps({"type": kind, **fields}) + "\n"


def routes(service: ServiceState) -> list[Route]:
    async def execute(request: Request) -> Response:
        body = await request.json()
        sandbox = service.sandboxes.get(request.headers["e2b-sandbox-id"])
        if sandbox is None:
            return JSONResponse({"code": 502, "message": "The sandbox was not found"}, status_code=502)
        if body.get("context_id") not in (None, "default"):
            return JSONResponse({"error": f"context {body['context_id']} not found"}, status_code=404)
        if body.get("language") not in LANGUAGES:
            return JSONResponse({"error": f"language {body['language']!r} is not supported here"}, status_code=400)
        env = body.get("env_vars") or {}

        async def stream():
            try:
                async for kind, value in sandbox.kernel.execute(body.get("code", ""), env):
                    if kind in ("stdout", "stderr"):
                        yield _line(kind, text=value, timestamp=time.time_ns())
                        continue
                    if value["error"] is not None:
                        yield _line("error", **value["error"])
                    if value["result"] is not None:
                        yield _line("result", text=value["result"], is_main_result=True)
                    yield _line("number_of_executions", execution_count=value["count"])
            except KernelDied as error:
                if sandbox.killed:
                    # The sandbox is gone: the connection just drops, as it
                    # does when the real service ends a sandbox mid-run.
                    raise SandboxGone(sandbox.sandbox_id) from error
                yield _line("error", name="KernelDied", value=str(error), traceback="")
            yield _line("end_of_execution")

        return StreamingResponse(stream(), media_type="application/x-ndjson")

    async def contexts(request: Request) -> Response:
        return JSONResponse([{"id": "default", "language": "python", "cwd": "/home/user"}])

    return [
        Route("/execute", execute, methods=["POST"]),
        Route("/contexts", contexts, methods=["GET"]),
    ]
