"""`BedrockAgentCoreSandbox.execute_code("pass")` against the same `invoke_code_interpreter`
call made directly with an aioboto3 client of its own (its event stream read to the end),
both on the local AgentCore service and in the backend's session, so that one interpreter
process serves both sides."""

from __future__ import annotations

import asyncio
import os

import aioboto3
from _common import interleaved_medians, per_call_sampler
from agentcore_local import LocalAgentCore

INTERPRETER = "aws.codeinterpreter.v1"
CALLS = 10
ROUNDS = 150
TARGET = 1.05


async def direct_calls(client, session_id: str, n: int) -> None:
    for _ in range(n):
        response = await client.invoke_code_interpreter(
            codeInterpreterIdentifier=INTERPRETER,
            sessionId=session_id,
            name="executeCode",
            arguments={"language": "python", "code": "pass"},
        )
        async for _event in response["stream"]:
            pass


async def backend_calls(sandbox, n: int) -> None:
    for _ in range(n):
        result = await sandbox.execute_code("pass")
        if result.status.value != "success":
            raise RuntimeError(f"benchmark run failed: {result}")


def main() -> None:
    with LocalAgentCore.start() as service:
        os.environ.update(service.env)
        from vorn_sandbox.code_interpreter.bedrock import BedrockAgentCoreSandbox

        loop = asyncio.new_event_loop()
        sandbox = BedrockAgentCoreSandbox()
        context = aioboto3.Session(region_name="us-east-1").client("bedrock-agentcore")
        try:
            client = loop.run_until_complete(context.__aenter__())
            loop.run_until_complete(backend_calls(sandbox, CALLS))  # starts the session; warms both sides
            session_id = sandbox.sandbox_id
            loop.run_until_complete(direct_calls(client, session_id, CALLS))
            samplers = {
                "direct": per_call_sampler(loop, lambda n: direct_calls(client, session_id, n), CALLS),
                "backend": per_call_sampler(loop, lambda n: backend_calls(sandbox, n), CALLS),
            }
            medians = interleaved_medians(samplers, ROUNDS)
        finally:
            loop.run_until_complete(sandbox.terminate())
            loop.run_until_complete(context.__aexit__(None, None, None))
            loop.close()
    ratio = medians["backend"] / medians["direct"]
    print(
        f"Bedrock execute_code('pass') vs direct invoke_code_interpreter: {ratio:.3f}x, target <= {TARGET} "
        f"(direct {medians['direct'] * 1e3:.3f} ms, backend {medians['backend'] * 1e3:.3f} ms, "
        f"overhead {(medians['backend'] - medians['direct']) * 1e6:.0f} us per call)"
    )


if __name__ == "__main__":
    main()
