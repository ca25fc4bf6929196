"""The service's side of a sandbox's code kernel (see kernel_main.py)."""

from __future__ import annotations

import asyncio
import codecs
import json
import os
import signal
import uuid
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

from .isolation import kernel_source, sandbox_python

# How long an interrupted run may take to stop before the kernel is killed
# (and restarted, losing its state, on the next run).
INTERRUPT_GRACE_SECONDS = 5.0

Spawn = Callable[..., Awaitable[asyncio.subprocess.Process]]


class KernelDied(Exception):
    pass


class _Stream:
    """Splits one output pipe into lines for the run in progress."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.buffer = ""
        self.run: _Run | None = None

    def feed(self, text: str) -> None:
        self.buffer += text
        while True:
            run = self.run
            if run is not None and (at := self.buffer.find(run.marker)) >= 0:
                self._emit_lines(self.buffer[:at], final=True)
                self.buffer = self.buffer[at + len(run.marker):]
                run.events.put_nowait((f"{self.name}_end", None))
                self.run = None
                continue
            keep = self._emit_lines(self.buffer, final=False)
            self.buffer = keep
            return

    def _emit_lines(self, text: str, final: bool) -> str:
        """Sends the complete lines of ``text`` to the run and returns the
        unfinished tail; at the end of a run the tail is sent as it is."""
        parts = text.split("\n")
        lines = [part + "\n" for part in parts[:-1]]
        tail = parts[-1]
        if final and tail:
            lines.append(tail)
            tail = ""
        # Output between runs (a background thread, say) belongs to no one.
        if self.run is not None:
            for line in lines:
                self.run.events.put_nowait((self.name, line))
        return tail


class _Run:
    def __init__(self) -> None:
        self.id = uuid.uuid4().hex
        self.marker = f"\x00e2b-local-end-{self.id}\x00"
        self.events: asyncio.Queue[tuple[str, Any]] = asyncio.Queue()


class Kernel:
    """One persistent Python process; runs one cell at a time, in order."""

    def __init__(self, spawn: Spawn, env: dict[str, str]) -> None:
        self._spawn = spawn
        self._env = env
        self._process: asyncio.subprocess.Process | None = None
        self._streams = {"stdout": _Stream("stdout"), "stderr": _Stream("stderr")}
        self._readers: list[asyncio.Task] = []
        self._lock = asyncio.Lock()
        self._run: _Run | None = None
        self._starting: asyncio.Task | None = None

    @property
    def pid(self) -> int | None:
        return self._process.pid if self._process else None

    def start_soon(self) -> None:
        if self._starting is None:
            self._starting = asyncio.ensure_future(self._start())

    async def _start(self) -> None:
        read_fd, write_fd = os.pipe()
        try:
            self._process = await self._spawn(
                [sandbox_python(), "-u", "-c", kernel_source()],
                env=self._env,
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
                reply_fd=write_fd,
            )
        finally:
            os.close(write_fd)
        loop = asyncio.get_running_loop()
        replies = asyncio.StreamReader()
        transport, _ = await loop.connect_read_pipe(
            lambda: asyncio.StreamReaderProtocol(replies), os.fdopen(read_fd, "rb", 0)
        )
        self._replies_transport = transport
        self._readers = [
            asyncio.ensure_future(self._pump(self._process.stdout, self._streams["stdout"])),
            asyncio.ensure_future(self._pump(self._process.stderr, self._streams["stderr"])),
            asyncio.ensure_future(self._read_replies(replies)),
        ]

    async def _pump(self, pipe: asyncio.StreamReader, stream: _Stream) -> None:
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        while chunk := await pipe.read(65536):
            stream.feed(decoder.decode(chunk))

    async def _read_replies(self, replies: asyncio.StreamReader) -> None:
        while line := await replies.readline():
            run = self._run
            if run is not None:
                run.events.put_nowait(("done", json.loads(line)))
        if self._run is not None:
            self._run.events.put_nowait(("died", None))

    async def execute(self, code: str, env: dict[str, str] | None) -> AsyncIterator[tuple[str, Any]]:
        """Yields ("stdout"|"stderr", line) while the cell runs, then
        ("done", reply). A consumer that stops early interrupts the cell;
        the next cell waits until that one has stopped."""
        await self._lock.acquire()
        run = _Run()
        finished = False
        try:
            await self._ensure_alive()
            self._run = run
            for stream in self._streams.values():
                stream.run = run
            request = {"id": run.id, "code": code, "env": env or {}, "marker": run.marker}
            self._process.stdin.write((json.dumps(request) + "\n").encode())
            await self._process.stdin.drain()
            ends = 0
            reply = None
            while ends < 2 or reply is None:
                kind, value = await run.events.get()
                if kind in ("stdout", "stderr"):
                    yield kind, value
                elif kind.endswith("_end"):
                    ends += 1
                elif kind == "done":
                    reply = value
                elif kind == "died":
                    raise KernelDied("the code kernel exited")
            finished = True
            yield "done", reply
        finally:
            if finished or self._process is None:
                self._end_run()
                self._lock.release()
            else:
                # Leave the lock to the drain, so that the cell behind this
                # one starts only when this one has really stopped.
                asyncio.ensure_future(self._interrupt_and_drain(run))

    async def _ensure_alive(self) -> None:
        self.start_soon()
        await asyncio.shield(self._starting)
        if self._process.returncode is not None:
            await self.close()
            self._starting = None
            self.start_soon()
            await asyncio.shield(self._starting)

    def _end_run(self) -> None:
        self._run = None
        for stream in self._streams.values():
            stream.run = None

    async def _interrupt_and_drain(self, run: _Run) -> None:
        try:
            if self._process is not None and self._process.returncode is None:
                try:
                    os.kill(self._process.pid, signal.SIGINT)
                except ProcessLookupError:
                    pass

                async def drain() -> None:
                    ends, done = 0, False
                    while ends < 2 or not done:
                        kind, _ = await run.events.get()
                        ends += kind.endswith("_end")
                        done = done or kind == "done"
                        if kind == "died":
                            return

                try:
                    await asyncio.wait_for(drain(), INTERRUPT_GRACE_SECONDS)
                except TimeoutError:
                    await self.close()
                    self._starting = None
        finally:
            self._end_run()
            self._lock.release()

    async def close(self) -> None:
        starting = self._starting
        if starting is not None and not starting.done():
            # A kernel still being spawned would otherwise outlive the close.
            await asyncio.wait([starting])
        if starting is not None and starting.done() and not starting.cancelled():
            starting.exception()  # seen here, so asyncio does not report it
        if self._run is not None:
            # The run in progress ends now; its readers are about to stop.
            self._run.events.put_nowait(("died", None))
        process = self._process
        if process is not None and process.returncode is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            await process.wait()
        for task in self._readers:
            task.cancel()
        transport = getattr(self, "_replies_transport", None)
        if transport is not None:
            transport.close()
            self._replies_transport = None
        self._readers = []
        self._process = None
