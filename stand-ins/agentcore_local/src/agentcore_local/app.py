"""The HTTP face of the local service: the three rest-json operations and an admin API for tests."""

from __future__ import annotations

import asyncio
import collections
import contextlib
import datetime
import json
import re
from dataclasses import dataclass
from pathlib import Path

from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route

from . import eventstream
from .errors import STATUS, STREAM_MEMBER, ServiceError, validation
from .sessions import SessionStore

CODE_INTERPRETER_ID = "aws.codeinterpreter.v1"
SESSION_HEADER = "x-amzn-code-interpreter-session-id"
EVENT_STREAM_TYPE = "application/vnd.amazon.eventstream"
LANGUAGES = ("python", "javascript", "typescript")
TOOLS = ("executeCode", "executeCommand", "readFiles", "listFiles", "removeFiles", "writeFiles",
         "startCommandExecution", "getTask", "stopTask")
DEFAULT_SESSION_TIMEOUT = 900
MAX_SESSION_TIMEOUT = 28800
OPERATIONS = ("start", "invoke", "stop")

_CREDENTIAL = re.compile(r"^AWS4-HMAC-SHA256 Credential=([^/]+)/[^/]+/[^/]+/([^/]+)/aws4_request,")


@dataclass
class Fault:
    """What the next matching request gets instead of its normal answer."""

    error: str | None = None  # a service error code, answered as an HTTP error
    message: str = "Injected by the local service"
    delay: float = 0.0  # seconds to wait before answering at all
    stream: str | None = None  # "exception": an error event inside the stream; "hang": stall the stream
    stream_delay: float = 0.0
    stream_error: str | None = None  # the service error code of the "exception" event
    tool: str | None = None  # invoke faults: only for this tool


class LocalService:
    def __init__(self, root: Path, access_key_id: str, max_sessions: int = 64):
        self.sessions = SessionStore(root, max_sessions)
        self.access_key_id = access_key_id
        self.faults: dict[str, collections.deque[Fault]] = {op: collections.deque() for op in OPERATIONS}
        self.calls: collections.Counter[str] = collections.Counter()

    def take_fault(self, operation: str, tool: str | None = None) -> Fault | None:
        queue = self.faults[operation]
        for fault in queue:
            if fault.tool is None or fault.tool == tool:
                queue.remove(fault)
                return fault
        return None

    def check_signature(self, request: Request) -> None:
        match = _CREDENTIAL.match(request.headers.get("authorization", ""))
        if match is None:
            raise ServiceError("AccessDeniedException", "Missing or malformed SigV4 authorization")
        access_key, service = match.groups()
        if service != "bedrock-agentcore" or access_key != self.access_key_id:
            raise ServiceError("AccessDeniedException", f"Access key {access_key} is not allowed for {service}")

    @staticmethod
    def check_identifier(request: Request) -> None:
        identifier = request.path_params["identifier"]
        if identifier != CODE_INTERPRETER_ID:
            raise ServiceError("ResourceNotFoundException", f"Code interpreter {identifier} not found")


async def _body(request: Request) -> dict:
    raw = await request.body()
    if not raw:
        return {}
    try:
        body = json.loads(raw)
    except ValueError as exc:
        raise validation(f"Request body is not JSON: {exc}", reason="CannotParse") from None
    if not isinstance(body, dict):
        raise validation("Request body must be a JSON object", reason="CannotParse")
    return body


def _now_iso() -> str:
    return datetime.datetime.now(datetime.UTC).isoformat().replace("+00:00", "Z")


async def _apply(fault: Fault | None) -> None:
    if fault is None:
        return
    if fault.delay:
        await asyncio.sleep(fault.delay)
    if fault.error:
        raise ServiceError(fault.error, fault.message)


def _operation(name: str):
    """Wraps an endpoint: authorisation, call count, injected faults, errors as responses."""

    def decorate(handler):
        async def endpoint(request: Request) -> Response:
            service: LocalService = request.app.state.service
            try:
                service.check_signature(request)
                service.check_identifier(request)
                service.calls[name] += 1
                return await handler(service, request)
            except ServiceError as exc:
                return exc.response()

        return endpoint

    return decorate


@_operation("start")
async def start_session(service: LocalService, request: Request) -> Response:
    body = await _body(request)
    await _apply(service.take_fault("start"))
    name = body.get("name")
    if not isinstance(name, str) or not 1 <= len(name) <= 100:
        raise validation("name must be a string of 1 to 100 characters", "name")
    timeout = body.get("sessionTimeoutSeconds", DEFAULT_SESSION_TIMEOUT)
    if isinstance(timeout, bool) or not isinstance(timeout, int) or not 1 <= timeout <= MAX_SESSION_TIMEOUT:
        raise validation(f"sessionTimeoutSeconds must be an integer from 1 to {MAX_SESSION_TIMEOUT}",
                         "sessionTimeoutSeconds")
    session = await service.sessions.start(name, timeout, body.get("clientToken"))
    return JSONResponse(
        {"codeInterpreterIdentifier": CODE_INTERPRETER_ID, "sessionId": session.session_id, "createdAt": _now_iso()}
    )


@_operation("stop")
async def stop_session(service: LocalService, request: Request) -> Response:
    await _body(request)
    await _apply(service.take_fault("stop"))
    session = service.sessions.get(request.query_params.get("sessionId"))
    await service.sessions.end(session.session_id, "stopped")
    return JSONResponse(
        {"codeInterpreterIdentifier": CODE_INTERPRETER_ID, "sessionId": session.session_id,
         "lastUpdatedAt": _now_iso()}
    )


def _text_result(text: str, *, is_error: bool) -> dict:
    return {"content": [{"type": "text", "text": text}], "isError": is_error}


async def _execute_code(service: LocalService, session, arguments: dict) -> dict:
    code = arguments.get("code")
    if not isinstance(code, str):
        raise validation("arguments.code is required for executeCode", "arguments.code")
    language = arguments.get("language", "python")
    if language not in LANGUAGES:
        raise validation(f"Value '{language}' at 'arguments.language' failed to satisfy constraint: "
                         f"Member must satisfy enum value set: [{', '.join(LANGUAGES)}]", "arguments.language")
    if language != "python":
        return _text_result(f"The local service runs Python only, not {language}", is_error=True)
    run = await service.sessions.run_code(session, code, bool(arguments.get("clearContext")))
    content = [{"type": "text", "text": run["stdout"]}] if run["stdout"] else []
    if run["stderr"]:
        content.append({"type": "text", "text": run["stderr"]})
    return {"content": content, "structuredContent": run, "isError": run["exitCode"] != 0}


def _write_files(service: LocalService, session, arguments: dict) -> dict:
    content = arguments.get("content")
    if not isinstance(content, list) or not all(isinstance(item, dict) for item in content):
        raise validation("arguments.content must be a list of content blocks", "arguments.content")
    written, failed = service.sessions.write_files(session, content)
    lines = [f"Successfully wrote {len(written)} file(s)"] + [f"Failed to write {entry}" for entry in failed]
    return _text_result("\n".join(lines), is_error=bool(failed))


def _read_files(service: LocalService, session, arguments: dict) -> dict:
    paths = arguments.get("paths")
    if not isinstance(paths, list) or not all(isinstance(path, str) for path in paths):
        raise validation("arguments.paths must be a list of strings", "arguments.paths")
    items, failed = service.sessions.read_files(session, paths)
    items += [{"type": "text", "text": f"Failed to read {entry}"} for entry in failed]
    return {"content": items, "isError": bool(failed)}


@_operation("invoke")
async def invoke(service: LocalService, request: Request) -> Response:
    body = await _body(request)
    tool = body.get("name")
    if tool not in TOOLS:
        raise validation(f"Unknown tool {tool!r}", "name")
    fault = service.take_fault("invoke", tool)
    await _apply(fault)
    session = service.sessions.get(request.headers.get(SESSION_HEADER))
    arguments = body.get("arguments") or {}
    if not isinstance(arguments, dict):
        raise validation("arguments must be an object", "arguments")
    service.calls[f"invoke:{tool}"] += 1
    if tool == "executeCode":
        result = await _execute_code(service, session, arguments)
    elif tool == "writeFiles":
        result = _write_files(service, session, arguments)
    elif tool == "readFiles":
        result = _read_files(service, session, arguments)
    else:
        result = _text_result(f"The local service does not provide the tool {tool}", is_error=True)
    # The reply starts only once the run is over, so a client's limit on the call covers the run.
    headers = {SESSION_HEADER: session.session_id}
    if fault is not None and fault.stream is not None:
        return StreamingResponse(_faulty_stream(fault, result), media_type=EVENT_STREAM_TYPE, headers=headers)
    return Response(eventstream.event("result", result), media_type=EVENT_STREAM_TYPE, headers=headers)


async def _faulty_stream(fault: Fault, result: dict):
    if fault.stream == "hang":
        await asyncio.sleep(fault.stream_delay)
        yield eventstream.event("result", result)
    elif fault.stream == "exception":
        yield eventstream.exception(STREAM_MEMBER[fault.stream_error], fault.message)
        # A reply that breaks and then stays open: the client has to let the connection go itself.
        await asyncio.sleep(fault.stream_delay)
    else:
        raise ValueError(f"unknown stream fault {fault.stream!r}")


# -- admin API, for tests and benchmarks ----------------------------------------


async def admin_sessions(request: Request) -> Response:
    service: LocalService = request.app.state.service
    return JSONResponse({"live": sorted(service.sessions.live), "ended": service.sessions.ended})


async def admin_calls(request: Request) -> Response:
    return JSONResponse(dict(request.app.state.service.calls))


async def admin_faults(request: Request) -> Response:
    service: LocalService = request.app.state.service
    if request.method == "DELETE":
        for queue in service.faults.values():
            queue.clear()
        return JSONResponse({})
    spec = await request.json()
    operation = spec.pop("operation", None)
    count = spec.pop("count", 1)
    if operation not in OPERATIONS:
        return JSONResponse({"message": f"operation must be one of {OPERATIONS}"}, status_code=400)
    if spec.get("error") is not None and spec["error"] not in STATUS:
        return JSONResponse({"message": f"error must be one of {sorted(STATUS)}"}, status_code=400)
    if spec.get("stream") == "exception" and spec.get("stream_error") not in STATUS:
        return JSONResponse({"message": f"stream_error must be one of {sorted(STATUS)}"}, status_code=400)
    try:
        faults = [Fault(**spec) for _ in range(count)]
    except TypeError as exc:
        return JSONResponse({"message": str(exc)}, status_code=400)
    service.faults[operation].extend(faults)
    return JSONResponse({"queued": len(service.faults[operation])})


async def admin_reset(request: Request) -> Response:
    service: LocalService = request.app.state.service
    for queue in service.faults.values():
        queue.clear()
    service.calls.clear()
    await service.sessions.close()
    return JSONResponse({})


def create_app(service: LocalService) -> Starlette:
    routes = [
        Route("/code-interpreters/{identifier}/sessions/start", start_session, methods=["PUT"]),
        Route("/code-interpreters/{identifier}/sessions/stop", stop_session, methods=["PUT"]),
        Route("/code-interpreters/{identifier}/tools/invoke", invoke, methods=["POST"]),
        Route("/_local/sessions", admin_sessions, methods=["GET"]),
        Route("/_local/calls", admin_calls, methods=["GET"]),
        Route("/_local/faults", admin_faults, methods=["POST", "DELETE"]),
        Route("/_local/reset", admin_reset, methods=["POST"]),
    ]
    @contextlib.asynccontextmanager
    async def lifespan(app):
        try:
            yield
        finally:
            await service.sessions.close()

    app = Starlette(routes=routes, lifespan=lifespan)
    app.state.service = service
    return app
