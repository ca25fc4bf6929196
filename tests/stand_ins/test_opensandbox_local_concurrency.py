"""The local OpenSandbox server under many sandboxes at once: every answer exact."""

import asyncio
import random
from datetime import timedelta

from code_interpreter import CodeInterpreter
from opensandbox import Sandbox
from opensandbox.config import ConnectionConfig
from opensandbox_local.pytest_plugin import require_isolation

ENTRYPOINT = ["bash", "/opt/opensandbox/code-interpreter.sh"]
JUPYTER_ENV = {"JUPYTER_HOST": "http://127.0.0.1:44771", "JUPYTER_TOKEN": "sesame"}
SANDBOXES = 50
# Starting a sandbox is the slow part, and how slow depends on the machine:
# a few start at a time, and the code runs once all of them are up, so that
# every run still overlaps with every other however long the starts took.
STARTS_AT_ONCE = 8
# Idle about as long as a common keep-alive time-out of HTTP servers (uvicorn's
# 5 s): a pooled connection must not be reused just as the server drops it.
IDLE_SECONDS = 5.0
# Long enough for any machine; a wait that runs out fails the test loudly.
PATIENCE = timedelta(minutes=10)


async def test_fifty_sandboxes_at_once_each_get_every_code_output(opensandbox_local):
    # Every code server listens on the same port: one network each, or one wins.
    require_isolation(opensandbox_local)
    config = ConnectionConfig(domain=opensandbox_local.domain, protocol="http", use_server_proxy=True,
                              request_timeout=PATIENCE)
    starts = asyncio.Semaphore(STARTS_AT_ONCE)
    all_started = asyncio.Barrier(SANDBOXES)

    async def run_code(index: int) -> list:
        try:
            return await run_in_own_sandbox(index)
        except BaseException:
            await all_started.abort()  # the others stop waiting for this one
            raise

    async def run_in_own_sandbox(index: int) -> list:
        async with starts:
            sandbox = await Sandbox.create("local:base", connection_config=config, skip_health_check=True,
                                           entrypoint=ENTRYPOINT, env=JUPYTER_ENV, timeout=PATIENCE * 2,
                                           ready_timeout=PATIENCE)
        try:
            async with starts:
                interpreter = await CodeInterpreter.create(sandbox=sandbox, ready_timeout=PATIENCE)
            try:
                await all_started.wait()
                runs = []
                for step in range(2):
                    if step:
                        await asyncio.sleep(IDLE_SECONDS + random.uniform(-0.05, 0.05))
                    codes = [f"value_{part} = {index} * 10 + {step * 2 + part}\nprint(value_{part})"
                             for part in range(2)]
                    executions = await asyncio.gather(
                        *(interpreter.codes.run(code, language="python") for code in codes),
                        return_exceptions=True)
                    runs += [execution if isinstance(execution, Exception) else (execution.text, execution.error)
                             for execution in executions]
                return runs
            finally:
                await interpreter.aclose()
        finally:
            await sandbox.kill()
            await sandbox.close()

    outputs = await asyncio.gather(*(run_code(index) for index in range(SANDBOXES)), return_exceptions=True)
    failed = {index: got for index, got in enumerate(outputs) if isinstance(got, BaseException)
              and not isinstance(got, asyncio.BrokenBarrierError)}
    assert not failed, f"{len(failed)} of {SANDBOXES} sandboxes failed: {failed}"
    wrong = {index: got for index, got in enumerate(outputs)
             if got != [(str(index * 10 + run), None) for run in range(4)]}
    assert not wrong, f"{len(wrong)} of {SANDBOXES} sandboxes got wrong code results: {wrong}"
