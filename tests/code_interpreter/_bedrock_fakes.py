"""A recording stand-in for the aioboto3 session of the Bedrock backend, for fault injection.

Every behaviour is data: an answer is a value, an exception to raise, or HANG
(wait until cancelled); event streams take the same entries per event.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Callable
from typing import Any

HANG = object()


async def _answer(answer: Any) -> Any:
    if answer is HANG:
        await asyncio.Event().wait()
    if isinstance(answer, BaseException):
        raise answer
    if callable(answer):
        answer = answer()
        if inspect.isawaitable(answer):
            answer = await answer
    return answer


class FakeStream:
    """An event stream; `close` is "sync", "async", an exception to raise, or None for no close at all."""

    def __init__(self, events=(), close: Any = "sync"):
        self._events = list(events)
        self.close_calls = 0
        if close is None:
            return
        if close == "async":
            async def closer():
                self.close_calls += 1
        else:
            def closer():
                self.close_calls += 1
                if isinstance(close, BaseException):
                    raise close
        self.close = closer

    def __aiter__(self):
        return self._iterate()

    async def _iterate(self):
        for event in self._events:
            yield await _answer(event)


def reply(*events, close: Any = "sync") -> dict:
    return {"stream": FakeStream(events, close=close)}


def code_event(stdout: str = "", stderr: str = "", *, is_error: bool = False, **structured) -> dict:
    return {"result": {"content": [], "structuredContent": {"stdout": stdout, "stderr": stderr, **structured},
                       "isError": is_error}}


class FakeClient:
    def __init__(self):
        self.calls: list[tuple[str, dict]] = []
        self.start_answer: Any = {"sessionId": "fake-session-1"}
        self.stop_answer: Any = {}
        # Answers of invoke_code_interpreter by tool name; a list is consumed in order.
        self.invoke_answers: dict[str, Any] = {"executeCode": lambda: reply(code_event())}

    def names(self) -> list[str]:
        return [name for name, _ in self.calls]

    def invocations(self, tool: str | None = None) -> list[dict]:
        return [kw for name, kw in self.calls
                if name == "invoke_code_interpreter" and (tool is None or kw["name"] == tool)]

    async def start_code_interpreter_session(self, **kwargs):
        self.calls.append(("start_code_interpreter_session", kwargs))
        return await _answer(self.start_answer)

    async def invoke_code_interpreter(self, **kwargs):
        self.calls.append(("invoke_code_interpreter", kwargs))
        answer = self.invoke_answers[kwargs["name"]]
        if isinstance(answer, list):
            answer = answer.pop(0)
        return await _answer(answer)

    async def stop_code_interpreter_session(self, **kwargs):
        self.calls.append(("stop_code_interpreter_session", kwargs))
        return await _answer(self.stop_answer)


class FakeClientContext:
    def __init__(self, session: FakeSession):
        self._session = session

    async def __aenter__(self):
        self._session.entered += 1
        await _answer(self._session.enter_answer)
        return self._session.client

    async def __aexit__(self, *exc_info):
        self._session.exits.append(exc_info)
        await _answer(self._session.exit_answer)
        return False


class FakeSession:
    """Stands in for `aioboto3.Session`: `client(name)` returns an async context manager of `client`."""

    def __init__(self):
        self.client = FakeClient()
        self.service_names: list[str] = []
        self.entered = 0
        self.exits: list[tuple] = []
        self.enter_answer: Any = None
        self.exit_answer: Any = None

    def client_factory(self, service_name: str) -> FakeClientContext:
        self.service_names.append(service_name)
        return FakeClientContext(self)


class _SessionFace:
    def __init__(self, fake: FakeSession):
        self._fake = fake

    def client(self, service_name: str):
        return self._fake.client_factory(service_name)


def attach(sandbox, fake: FakeSession | None = None) -> FakeSession:
    """Puts `fake` in place of the sandbox's aioboto3 session and returns it."""
    fake = fake or FakeSession()
    sandbox.aioboto3_session = _SessionFace(fake)
    return fake


async def until(predicate: Callable[[], bool], *, seconds: float = 5.0) -> None:
    """Yields to the loop until `predicate()` holds (bounded)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + seconds
    while not predicate():
        if loop.time() > deadline:
            raise AssertionError("condition not reached in time")
        await asyncio.sleep(0.001)
