"""Sessions of the local service: one directory and one interpreter process each."""

from __future__ import annotations

import asyncio
import base64
import json
import mimetypes
import os
import shutil
import signal
import sys
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path

from .errors import ServiceError, not_found


@dataclass
class Session:
    session_id: str
    name: str
    timeout_seconds: int
    directory: Path
    created_at: float
    process: asyncio.subprocess.Process | None = None
    # One run at a time, as in a single interpreter; file tools do not wait for it.
    run_lock: asyncio.Lock = field(default_factory=asyncio.Lock)
    expiry: asyncio.TimerHandle | None = None

    @property
    def site_packages(self) -> Path:
        return self.directory / ".site-packages"


class SessionStore:
    def __init__(self, root: Path, max_sessions: int):
        self.root = root
        self.max_sessions = max_sessions
        self.live: dict[str, Session] = {}
        self.ended: dict[str, str] = {}  # session id -> how it ended
        self._client_tokens: dict[str, tuple[str, tuple]] = {}
        # Every session's interpreter reads this pipe; only the service holds
        # its write end, so each interpreter sees end-of-file when the
        # service ends, however it ends, and takes its commands with it.
        self._lifeline, self._lifeline_writer = os.pipe()

    # -- lifecycle -------------------------------------------------------------

    async def start(self, name: str, timeout_seconds: int, client_token: str | None) -> Session:
        request = (name, timeout_seconds)
        if client_token is not None and client_token in self._client_tokens:
            session_id, earlier = self._client_tokens[client_token]
            if earlier != request:
                raise ServiceError(
                    "ValidationException",
                    "clientToken was used with different parameters",
                    reason="IdempotentParameterMismatchException",
                )
            if session_id in self.live:
                return self.live[session_id]
        if len(self.live) >= self.max_sessions:
            raise ServiceError(
                "ServiceQuotaExceededException", f"At most {self.max_sessions} sessions may run at once"
            )
        session_id = uuid.uuid4().hex
        directory = self.root / session_id
        session = Session(session_id, name, timeout_seconds, directory, time.time())
        session.site_packages.mkdir(parents=True)
        session.process = await self._spawn(session)
        self.live[session_id] = session
        if client_token is not None:
            self._client_tokens[client_token] = (session_id, request)
        loop = asyncio.get_running_loop()
        session.expiry = loop.call_later(timeout_seconds, lambda: loop.create_task(self.end(session_id, "expired")))
        return session

    async def _spawn(self, session: Session) -> asyncio.subprocess.Process:
        # A session starts from none of the service's environment, as a real
        # one starts from none of its caller's (credentials, or a sanitizer
        # runtime preloaded into the tests). Packages installed in the
        # session land in the session, not in the service's interpreter.
        env = {
            "PATH": os.environ.get("PATH", os.defpath),
            "LANG": "C.UTF-8",
            "HOME": str(session.directory),
            "PIP_TARGET": str(session.site_packages),
            "PIP_DISABLE_PIP_VERSION_CHECK": "1",
            "PYTHONPATH": str(session.site_packages),
        }
        return await asyncio.create_subprocess_exec(
            sys.executable,
            "-m",
            "agentcore_local.worker",
            str(self._lifeline),
            pass_fds=(self._lifeline,),
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL,
            cwd=session.directory,
            env=env,
            start_new_session=True,
            limit=2**31 - 1,
        )

    def get(self, session_id: str | None) -> Session:
        if not session_id:
            raise ServiceError("ValidationException", "sessionId is required", reason="FieldValidationFailed")
        session = self.live.get(session_id)
        if session is None:
            how = self.ended.get(session_id)
            detail = f" ({how})" if how else ""
            raise not_found(f"Session {session_id} not found{detail}")
        return session

    async def end(self, session_id: str, how: str) -> None:
        session = self.live.pop(session_id, None)
        if session is None:
            return
        self.ended[session_id] = how
        if session.expiry is not None:
            session.expiry.cancel()
        await _kill(session.process)
        await asyncio.to_thread(shutil.rmtree, session.directory, True)

    async def close(self) -> None:
        for session_id in list(self.live):
            await self.end(session_id, "stopped")

    # -- tools -----------------------------------------------------------------

    async def run_code(self, session: Session, code: str, clear_context: bool) -> dict:
        async with session.run_lock:
            process = session.process
            if process is None or process.returncode is not None:
                process = session.process = await self._spawn(session)
            request = json.dumps({"code": code, "clearContext": clear_context}).encode("utf-8") + b"\n"
            try:
                process.stdin.write(request)
                await process.stdin.drain()
                line = await process.stdout.readline()
            except (BrokenPipeError, ConnectionResetError):
                line = b""
            if line:
                return json.loads(line)
            # The interpreter died under the code (os._exit, a fatal signal) or the
            # session was stopped; a later run gets a fresh interpreter.
            await _kill(process)
            if session.session_id not in self.live:
                raise not_found(f"Session {session.session_id} not found ({self.ended.get(session.session_id)})")
            return {"stdout": "", "stderr": "The interpreter process exited during the run\n", "exitCode": 1,
                    "executionTime": 0.0}

    def resolve(self, session: Session, path: str) -> Path:
        """A path in the session's file system; refuses what leads out of the session directory."""
        if not path:
            raise ValueError("empty path")
        base = session.directory.resolve()
        candidate = Path(path) if os.path.isabs(path) else base / path
        resolved = Path(os.path.realpath(candidate))
        if resolved != base and base not in resolved.parents:
            raise ValueError(f"path is outside the session's file system: {path}")
        return resolved

    def write_files(self, session: Session, content: list[dict]) -> tuple[list[str], list[str]]:
        written, failed = [], []
        for item in content:
            path = item.get("path", "")
            try:
                target = self.resolve(session, path)
                target.parent.mkdir(parents=True, exist_ok=True)
                if "blob" in item:
                    target.write_bytes(base64.b64decode(item["blob"], validate=True))
                else:
                    target.write_text(item.get("text", ""), encoding="utf-8")
                written.append(path)
            except (OSError, ValueError) as exc:
                failed.append(f"{path}: {exc}")
        return written, failed

    def read_files(self, session: Session, paths: list[str]) -> tuple[list[dict], list[str]]:
        items, failed = [], []
        for path in paths:
            try:
                target = self.resolve(session, path)
                data = target.read_bytes()
            except (OSError, ValueError) as exc:
                failed.append(f"{path}: {exc}")
                continue
            mime = mimetypes.guess_type(target.name)[0] or "application/octet-stream"
            resource = {"uri": target.as_uri(), "mimeType": mime}
            try:
                resource.update(type="text", text=data.decode("utf-8"))
            except UnicodeDecodeError:
                resource.update(type="blob", blob=base64.b64encode(data).decode("ascii"))
            items.append({"type": "resource", "resource": resource})
        return items, failed


async def _kill(process: asyncio.subprocess.Process | None) -> None:
    if process is None or process.returncode is not None:
        return
    try:
        # The interpreter leads its own process group: the commands it started go too.
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    await process.wait()
