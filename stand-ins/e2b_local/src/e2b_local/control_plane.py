"""The control plane's REST API (sandboxes, templates) and the private
"/_local" API that tests and the command line use to drive the service.

Request and answer bodies go through the SDK's own generated models, so the
field names and shapes are exactly what the SDK sends and parses.
"""

from __future__ import annotations

import asyncio
import uuid

from e2b.api.client.models import (
    BuildLogEntry,
    BuildStatusReason,
    Error,
    LogLevel,
    NewSandboxV2,
    Sandbox as SandboxModel,
    SandboxTimeoutRequest,
    TemplateAliasResponse,
    TemplateBuildFileUpload,
    TemplateBuildInfo,
    TemplateBuildRequestV3,
    TemplateBuildStatus,
    TemplateRequestResponseV3,
    TemplateTag,
)
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from .faults import OPERATIONS
from .state import ServiceState
from .templates import split_name

ENVD_VERSION = "0.6.4"
PRIVATE_PREFIX = "/_local"


def error_response(status: int, message: str, *, sdk_retry: bool | None = None) -> JSONResponse:
    headers = {}
    if sdk_retry is not None:
        headers["Should-Retry"] = "true" if sdk_retry else "false"
    return JSONResponse(Error(code=status, message=message).to_dict(), status_code=status, headers=headers)


async def apply_fault(service: ServiceState, operation: str, request: Request) -> Response | None:
    """The answer a queued fault gives this call, or None to go on normally.
    A hang waits for release() and then goes on; if the client gave up
    meanwhile, the call ends without doing anything (its answer reaches
    no one)."""
    fault = service.faults.take(operation)
    if fault is None:
        return None
    if fault.hangs:
        if await wait_released(service, request):
            return None
        return Response(status_code=499)
    return error_response(fault.status, fault.message, sdk_retry=fault.sdk_retry)


async def wait_released(service: ServiceState, request: Request) -> bool:
    """True when released while the client still waits; False when the
    client disconnected (or the service stops) first. The request's body
    must have been read already."""
    event = service.faults.hang_event()
    try:
        while not event.is_set():
            try:
                await asyncio.wait_for(event.wait(), 0.05)
            except TimeoutError:
                if await request.is_disconnected() or service.stopping:
                    return False
        return not await request.is_disconnected()
    finally:
        service.faults.hang_over(event)


def _check_key(request: Request) -> Response | None:
    if not request.headers.get("x-api-key"):
        return error_response(401, "Missing API key")
    return None


def routes(service: ServiceState) -> list[Route]:
    async def create_sandbox(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        # The body is read first: checking for a disconnect before that
        # would swallow it.
        body = NewSandboxV2.from_dict(await request.json())
        if (faulted := await apply_fault(service, "create", request)) is not None:
            return faulted
        template = service.templates.resolve(body.template_id)
        if template is None:
            return error_response(404, f"template '{body.template_id}' not found")
        if template.ready_build(split_name(body.template_id)[1]) is None:
            return error_response(400, f"template '{body.template_id}' has no successful build")
        timeout = body.timeout if isinstance(body.timeout, int) else 300
        env_vars = body.env_vars if isinstance(body.env_vars, dict) else {}
        sandbox = await service.create_sandbox(template.template_id, body.template_id, timeout, env_vars)
        answer = SandboxModel(
            template_id=template.template_id,
            sandbox_id=sandbox.sandbox_id,
            client_id=sandbox.client_id,
            envd_version=ENVD_VERSION,
            alias=body.template_id,
            envd_access_token=sandbox.access_token,
            traffic_access_token=None,
            domain=None,
        )
        return JSONResponse(answer.to_dict(), status_code=201)

    async def kill_sandbox(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        if (faulted := await apply_fault(service, "kill", request)) is not None:
            return faulted
        if not await service.kill_sandbox(request.path_params["sandbox_id"]):
            return error_response(404, f"sandbox {request.path_params['sandbox_id']} not found")
        return Response(status_code=204)

    async def set_timeout(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        body = SandboxTimeoutRequest.from_dict(await request.json())
        if (faulted := await apply_fault(service, "set_timeout", request)) is not None:
            return faulted
        sandbox = service.sandboxes.get(request.path_params["sandbox_id"])
        if sandbox is None:
            return error_response(404, f"sandbox {request.path_params['sandbox_id']} not found")
        sandbox.set_lifetime(body.timeout)
        return Response(status_code=204)

    async def request_build(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        body = TemplateBuildRequestV3.from_dict(await request.json())
        name = body.name if isinstance(body.name, str) else body.alias
        if not isinstance(name, str) or not name:
            return error_response(400, "a template name is required")
        tags = body.tags if isinstance(body.tags, list) else []
        template, build = service.templates.request_build(name, tags)
        answer = TemplateRequestResponseV3(
            template_id=template.template_id,
            build_id=build.build_id,
            public=False,
            names=sorted(template.names),
            tags=build.requested_tags,
            aliases=sorted(template.names),
        )
        return JSONResponse(answer.to_dict(), status_code=202)

    async def file_upload_link(request: Request) -> Response:
        # Files of COPY steps are never needed here: say they are cached.
        return JSONResponse(TemplateBuildFileUpload(present=True).to_dict(), status_code=201)

    async def start_build(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        template_id, build_id = request.path_params["template_id"], request.path_params["build_id"]
        try:
            service.templates.start_build(template_id, build_id, await request.json())
        except KeyError:
            return error_response(404, f"build {build_id} not found")
        service.finish_build_later(template_id, build_id, service.faults.take("build"))
        return Response(status_code=202)

    async def build_status(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        template_id, build_id = request.path_params["template_id"], request.path_params["build_id"]
        try:
            build = service.templates.build(template_id, build_id)
        except KeyError:
            return error_response(404, f"build {build_id} not found")
        offset = int(request.query_params.get("logsOffset") or 0)
        entries = [
            BuildLogEntry(timestamp=at, message=message, level=LogLevel(level))
            for at, level, message in build.logs[offset:]
        ]
        answer = TemplateBuildInfo(
            logs=[entry.message for entry in entries],
            log_entries=entries,
            template_id=build.template_id,
            build_id=build.build_id,
            status=TemplateBuildStatus(build.status),
        )
        if build.reason is not None:
            answer.reason = BuildStatusReason(message=build.reason)
        return JSONResponse(answer.to_dict())

    async def alias(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        template = service.templates.resolve(request.path_params["alias"])
        if template is None:
            return error_response(404, f"template alias '{request.path_params['alias']}' not found")
        return JSONResponse(TemplateAliasResponse(template_id=template.template_id, public=False).to_dict())

    async def tags(request: Request) -> Response:
        if (denied := _check_key(request)) is not None:
            return denied
        template = service.templates.resolve(request.path_params["template_id"])
        if template is None:
            return error_response(404, f"template '{request.path_params['template_id']}' not found")
        answer = [
            TemplateTag(tag=tag, build_id=uuid.UUID(build_id), created_at=template.tagged_at[tag]).to_dict()
            for tag, build_id in sorted(template.tags.items())
        ]
        return JSONResponse(answer)

    # -- the private API ---------------------------------------------

    async def local_sandboxes(request: Request) -> Response:
        return JSONResponse({"live": sorted(service.sandboxes)})

    async def local_fault(request: Request) -> Response:
        body = await request.json()
        operation = body.get("operation")
        if operation not in OPERATIONS:
            return JSONResponse({"error": f"operation must be one of {list(OPERATIONS)}"}, status_code=400)
        times = int(body.get("times", 1))
        if body.get("hang"):
            service.faults.hang(operation, times)
        else:
            service.faults.fail(operation, times, int(body.get("status", 500)), body.get("message"),
                                sdk_retry=bool(body.get("sdk_retry", False)))
        return JSONResponse({"pending": service.faults.pending(operation)})

    async def local_release(request: Request) -> Response:
        service.faults.release()
        return Response(status_code=204)

    async def local_reset(request: Request) -> Response:
        service.faults.reset()
        return Response(status_code=204)

    async def local_config(request: Request) -> Response:
        body = await request.json()
        if "build_delay" in body:
            service.faults.build_delay = float(body["build_delay"])
        return JSONResponse({"build_delay": service.faults.build_delay})

    async def local_template(request: Request) -> Response:
        name = request.path_params["name"]
        builds = service.templates.builds(name)
        if not builds:
            return JSONResponse({"error": f"no template {name!r}"}, status_code=404)
        return JSONResponse({
            "recipe": service.templates.recipe(name),
            "builds": [{"build_id": b.build_id, "status": b.status, "reason": b.reason, "recipe": b.recipe}
                       for b in builds],
        })

    return [
        Route("/v2/sandboxes", create_sandbox, methods=["POST"]),
        Route("/sandboxes/{sandbox_id}", kill_sandbox, methods=["DELETE"]),
        Route("/sandboxes/{sandbox_id}/timeout", set_timeout, methods=["POST"]),
        Route("/v3/templates", request_build, methods=["POST"]),
        Route("/templates/aliases/{alias:path}", alias, methods=["GET"]),
        Route("/templates/{template_id}/files/{files_hash}", file_upload_link, methods=["GET"]),
        Route("/v2/templates/{template_id}/builds/{build_id}", start_build, methods=["POST"]),
        Route("/templates/{template_id}/builds/{build_id}/status", build_status, methods=["GET"]),
        Route("/templates/{template_id:path}/tags", tags, methods=["GET"]),
        Route(f"{PRIVATE_PREFIX}/sandboxes", local_sandboxes, methods=["GET"]),
        Route(f"{PRIVATE_PREFIX}/faults", local_fault, methods=["POST"]),
        Route(f"{PRIVATE_PREFIX}/release", local_release, methods=["POST"]),
        Route(f"{PRIVATE_PREFIX}/reset", local_reset, methods=["POST"]),
        Route(f"{PRIVATE_PREFIX}/config", local_config, methods=["POST"]),
        Route(f"{PRIVATE_PREFIX}/templates/{{name:path}}", local_template, methods=["GET"]),
    ]

