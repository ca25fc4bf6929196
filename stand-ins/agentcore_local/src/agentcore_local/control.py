"""Starting the local service in a child process and steering it from tests and benchmarks."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import urllib.request
from typing import Any

ACCESS_KEY_ID = "AKIALOCALAGENTCORE00"
SECRET_ACCESS_KEY = "local-agentcore-secret-not-a-real-key"
ENDPOINT_VARIABLE = "AWS_ENDPOINT_URL_BEDROCK_AGENTCORE"


def environment(endpoint: str) -> dict[str, str]:
    """What botocore needs to reach the local service: the per-service endpoint and its dummy credentials."""
    return {
        ENDPOINT_VARIABLE: endpoint,
        "AWS_ACCESS_KEY_ID": ACCESS_KEY_ID,
        "AWS_SECRET_ACCESS_KEY": SECRET_ACCESS_KEY,
    }


class LocalAgentCore:
    """A running local service: its endpoint, environment, fault switches and counters."""

    def __init__(self, process: subprocess.Popen, env: dict[str, str]):
        self.process = process
        self.env = env
        self.endpoint = env[ENDPOINT_VARIABLE]

    @classmethod
    def start(cls, *args: str) -> LocalAgentCore:
        # The service's standard input is its lifeline: this process holds
        # the only write end, so the service stops when this process ends,
        # even when it is killed and never reaches close().
        process = subprocess.Popen(
            [sys.executable, "-m", "agentcore_local", "--lifeline", *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            start_new_session=True,
        )
        env: dict[str, str] = {}
        for line in process.stdout:
            if line.startswith("#"):
                break
            name, _, value = line.strip().partition("=")
            env[name] = value
        if ENDPOINT_VARIABLE not in env:
            process.kill()
            process.wait()
            process.stdin.close()
            raise RuntimeError(f"agentcore_local did not start (exit code {process.poll()})")
        return cls(process, env)

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process.stdout.close()
        self.process.stdin.close()

    def __enter__(self) -> LocalAgentCore:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    # -- admin API ---------------------------------------------------------------

    def _admin(self, method: str, path: str, body: Any = None) -> Any:
        data = None if body is None else json.dumps(body).encode("utf-8")
        request = urllib.request.Request(
            self.endpoint + path, data=data, method=method, headers={"content-type": "application/json"}
        )
        with urllib.request.urlopen(request, timeout=30) as reply:
            return json.loads(reply.read() or b"null")

    def live_sessions(self) -> list[str]:
        return self._admin("GET", "/_local/sessions")["live"]

    def ended_sessions(self) -> dict[str, str]:
        return self._admin("GET", "/_local/sessions")["ended"]

    def calls(self) -> dict[str, int]:
        """Requests that passed authorisation, by operation ("start", "invoke", "invoke:TOOL", "stop")."""
        return self._admin("GET", "/_local/calls")

    def fail_next(self, operation: str, error: str, *, count: int = 1, message: str | None = None,
                  tool: str | None = None, delay: float = 0.0) -> None:
        """The next `count` requests of `operation` ("start", "invoke", "stop") answer the service error `error`."""
        spec = {"operation": operation, "error": error, "count": count, "tool": tool, "delay": delay}
        if message is not None:
            spec["message"] = message
        self._admin("POST", "/_local/faults", spec)

    def delay_next(self, operation: str, seconds: float, *, count: int = 1, tool: str | None = None) -> None:
        """The next `count` requests of `operation` wait `seconds` before they are served."""
        self._admin("POST", "/_local/faults", {"operation": operation, "delay": seconds, "count": count, "tool": tool})

    def stall_stream(self, seconds: float, *, tool: str | None = None, count: int = 1) -> None:
        """The next invocations answer at once but hold their event back for `seconds`."""
        self._admin("POST", "/_local/faults", {"operation": "invoke", "stream": "hang", "stream_delay": seconds,
                                               "tool": tool, "count": count})

    def fail_in_stream(self, error: str, *, tool: str | None = None, message: str | None = None,
                       count: int = 1, hold: float = 0.0) -> None:
        """The next invocations answer with an exception event in place of their result, then keep
        the reply open for `hold` seconds before ending it."""
        spec = {"operation": "invoke", "stream": "exception", "stream_error": error, "tool": tool, "count": count,
                "stream_delay": hold}
        if message is not None:
            spec["message"] = message
        self._admin("POST", "/_local/faults", spec)

    def clear_faults(self) -> None:
        self._admin("DELETE", "/_local/faults")

    def reset(self) -> None:
        """Stops every session and clears faults and counters."""
        self._admin("POST", "/_local/reset", {})
