"""The state of one local E2B service: its sandboxes, fault switches and
templates, and what creates and ends sandboxes. The route modules work on it;
it knows nothing of HTTP."""

from __future__ import annotations

import asyncio
import uuid
from pathlib import Path

from .faults import Fault, Faults
from .isolation import Isolation
from .sandbox import Sandbox
from .templates import TemplateRegistry


class ServiceState:
    """Everything the routes of one service share. Lives on the service's loop."""

    def __init__(self, *, state_dir: Path, isolation: Isolation) -> None:
        self.state_dir = state_dir
        self.isolation = isolation.mode
        # Why sandboxes share the host's tree, when they do.
        self.isolation_reason = isolation.reason
        self.isolate = isolation.isolate
        self.faults = Faults()
        self.templates = TemplateRegistry()
        self.sandboxes: dict[str, Sandbox] = {}
        self.stopping = False
        self.created_count = 0
        self._build_tasks: set[asyncio.Task] = set()

    def live_sandboxes(self) -> list[str]:
        return sorted(self.sandboxes)

    # -- sandboxes (service loop) --------------------------------------

    async def create_sandbox(self, template_id: str, alias: str, lifetime: float, env_vars: dict) -> Sandbox:
        sandbox_id = "i" + uuid.uuid4().hex[:19]
        root = self.state_dir / "sandboxes" / sandbox_id
        root.mkdir(parents=True)
        sandbox = Sandbox(
            sandbox_id=sandbox_id,
            template_id=template_id,
            alias=alias,
            root=root,
            isolation=self.isolation,
            env_vars=env_vars,
            lifetime=lifetime,
            on_expiry=self._expire,
        )
        try:
            await sandbox.start_holder()
        except BaseException:
            await sandbox.kill()
            raise
        self.sandboxes[sandbox_id] = sandbox
        self.created_count += 1
        sandbox.kernel.start_soon()
        return sandbox

    async def kill_sandbox(self, sandbox_id: str) -> bool:
        sandbox = self.sandboxes.pop(sandbox_id, None)
        if sandbox is None:
            return False
        await sandbox.kill()
        return True

    async def _expire(self, sandbox: Sandbox) -> None:
        if self.sandboxes.get(sandbox.sandbox_id) is sandbox:
            await self.kill_sandbox(sandbox.sandbox_id)

    async def kill_all(self) -> list[str]:
        killed = list(self.sandboxes)
        await asyncio.gather(*(self.kill_sandbox(sandbox_id) for sandbox_id in killed))
        return killed

    def finish_build_later(self, template_id: str, build_id: str, fault: Fault | None) -> None:
        async def finish() -> None:
            if fault is not None and fault.hangs:
                event = self.faults.hang_event()
                try:
                    while not event.is_set() and not self.stopping:
                        try:
                            await asyncio.wait_for(event.wait(), 0.2)
                        except TimeoutError:
                            pass
                finally:
                    self.faults.hang_over(event)
            await asyncio.sleep(self.faults.build_delay)
            error = fault.message if fault is not None and not fault.hangs else None
            self.templates.finish_build(template_id, build_id, error)

        task = asyncio.ensure_future(finish())
        self._build_tasks.add(task)
        task.add_done_callback(self._build_tasks.discard)

    def cancel_builds(self) -> None:
        for task in list(self._build_tasks):
            task.cancel()
