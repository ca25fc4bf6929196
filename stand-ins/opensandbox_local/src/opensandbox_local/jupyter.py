"""The sandbox's code server: a stateful Python kernel behind a small HTTP API.

Runs inside the sandbox, started by the default start command. It listens on
the port named by ``JUPYTER_HOST`` (loopback inside the sandbox's own network
namespace) and demands ``JUPYTER_TOKEN`` on every call except ``GET /api``,
which answers unauthenticated as a Jupyter server's API root does.

Code runs on the main thread in one namespace that lives as long as the
process, so definitions persist between runs. An interrupt is a real SIGINT to
this process, which Python turns into ``KeyboardInterrupt`` in the running
code. The HTTP side runs on a thread so that it can take an interrupt while
code runs.
"""

from __future__ import annotations

import ast
import json
import os
import queue
import signal
import sys
import threading
import traceback
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

_DONE = object()


class _Job:
    def __init__(self, execution_id: str, code: str) -> None:
        self.execution_id = execution_id
        self.code = code
        self.events: queue.Queue = queue.Queue()


class _LineStream:
    """A text stream that turns writes into one event per completed line."""

    def __init__(self, kind: str, job: _Job) -> None:
        self._kind = kind
        self._job = job
        self._pending = ""

    def write(self, text: str) -> int:
        self._pending += text
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            self._job.events.put({"type": self._kind, "text": line + "\n"})
        return len(text)

    def flush(self) -> None:
        if self._pending:
            self._job.events.put({"type": self._kind, "text": self._pending})
            self._pending = ""

    def isatty(self) -> bool:
        return False


class Kernel:
    def __init__(self) -> None:
        self.namespace: dict = {"__name__": "__main__"}
        self.jobs: queue.Queue[_Job] = queue.Queue()
        self.running: _Job | None = None
        self.lock = threading.Lock()

    def interrupt(self, execution_id: str) -> bool:
        with self.lock:
            if self.running is None or self.running.execution_id != execution_id:
                return False
            os.kill(os.getpid(), signal.SIGINT)
            return True

    def serve_forever(self) -> None:
        while True:
            try:
                job = self.jobs.get()
            except KeyboardInterrupt:
                # An interrupt that raced the end of a run lands here: nothing
                # is running any more, so it has nothing to stop.
                continue
            self._run(job)

    def _run(self, job: _Job) -> None:
        stdout, stderr = _LineStream("stdout", job), _LineStream("stderr", job)
        saved = sys.stdout, sys.stderr
        try:
            with self.lock:
                self.running = job
            sys.stdout, sys.stderr = stdout, stderr
            try:
                value = self._execute(job.code)
            finally:
                with self.lock:
                    self.running = None
                sys.stdout, sys.stderr = saved
                stdout.flush()
                stderr.flush()
            if value is not None:
                job.events.put({"type": "result", "text": repr(value)})
        except KeyboardInterrupt:
            job.events.put(_error_event(*sys.exc_info()))
        except BaseException:  # the code's own failure, SystemExit included
            job.events.put(_error_event(*sys.exc_info()))
        finally:
            job.events.put(_DONE)

    def _execute(self, code: str):
        tree = ast.parse(code, "<cell>", "exec")
        last = tree.body[-1] if tree.body else None
        if isinstance(last, ast.Expr):
            tree.body.pop()
            exec(compile(tree, "<cell>", "exec"), self.namespace)
            expression = ast.Expression(last.value)
            return eval(compile(expression, "<cell>", "eval"), self.namespace)
        exec(compile(tree, "<cell>", "exec"), self.namespace)
        return None


def _error_event(kind, value, tb) -> dict:
    return {
        "type": "error",
        "ename": kind.__name__,
        "evalue": str(value),
        "traceback": traceback.format_exception(kind, value, tb),
    }


def _handler(kernel: Kernel, token: str):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"
        # Events are small writes; without this each waits out a delayed ACK.
        disable_nagle_algorithm = True

        def log_message(self, *args) -> None:  # quiet
            pass

        def _authorised(self) -> bool:
            header = self.headers.get("Authorization", "")
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
            given = header.removeprefix("token ").strip() or query.get("token", [""])[0]
            return bool(token) and given == token

        def _reply(self, status: HTTPStatus, body: dict) -> None:
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self) -> None:
            if urllib.parse.urlsplit(self.path).path.rstrip("/") == "/api":
                self._reply(HTTPStatus.OK, {"version": "local"})
            else:
                self._reply(HTTPStatus.NOT_FOUND, {"message": "not found"})

        def do_POST(self) -> None:
            if not self._authorised():
                self._reply(HTTPStatus.FORBIDDEN, {"message": "invalid token"})
                return
            split = urllib.parse.urlsplit(self.path)
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length) or b"{}")
            if split.path == "/api/execute":
                self._execute(body)
            elif split.path == "/api/interrupt":
                done = kernel.interrupt(str(body.get("id", "")))
                self._reply(HTTPStatus.OK, {"interrupted": done})
            else:
                self._reply(HTTPStatus.NOT_FOUND, {"message": "not found"})

        def _execute(self, body: dict) -> None:
            job = _Job(str(body.get("id", "")), str(body.get("code", "")))
            kernel.jobs.put(job)
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "application/x-ndjson")
            self.end_headers()
            while (event := job.events.get()) is not _DONE:
                self.wfile.write(json.dumps(event).encode() + b"\n")
                self.wfile.flush()

    return Handler


def main() -> None:
    host = urllib.parse.urlsplit(os.environ.get("JUPYTER_HOST", "http://127.0.0.1:44771"))
    token = os.environ.get("JUPYTER_TOKEN", "")
    # Interrupts are SIGINTs to this process: whatever it inherited, they
    # must raise KeyboardInterrupt in the running code.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    kernel = Kernel()
    server = ThreadingHTTPServer((host.hostname or "127.0.0.1", host.port or 44771),
                                 _handler(kernel, token))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    kernel.serve_forever()


if __name__ == "__main__":
    main()
