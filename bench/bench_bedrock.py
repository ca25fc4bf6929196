"""`BedrockAgentCoreSandbox.execute_code("pass")` against the same `invoke_code_interpreter`
call made directly with an aioboto3 client of its own (its event stream read to the end),
both on the local AgentCore service and in the backend's session, so that one interpreter
process serves both sides.

Each round times 10 calls of each side, back to back, in alternating order (the side that
runs first in a round is a little slower); the ratio is the median of the per-round ratios,
and its spread the interquartile range of those ratios."""

from __future__ import annotations

import asyncio
import os
import statistics

import aioboto3
from _common import per_call_sampler
from agentcore_local import LocalAgentCore

INTERPRETER = "aws.codeinterpreter.v1"
CALLS = 10
ROUNDS = 150  # at least 40
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
            ratios, per_call = alternating_rounds(samplers, ROUNDS)
        finally:
            loop.run_until_complete(sandbox.terminate())
            loop.run_until_complete(context.__aexit__(None, None, None))
            loop.close()
    low, ratio, high = statistics.quantiles(ratios, n=4)
    direct, backend = statistics.median(per_call["direct"]), statistics.median(per_call["backend"])
    print(
        f"Bedrock execute_code('pass') vs direct invoke_code_interpreter: {ratio:.3f}x "
        f"(interquartile {low:.3f}-{high:.3f} over {len(ratios)} rounds of {CALLS} calls), target <= {TARGET} "
        f"(direct {direct * 1e3:.3f} ms, backend {backend * 1e3:.3f} ms, overhead {(backend - direct) * 1e6:.0f} us "
        "per call)"
    )


def alternating_rounds(samplers, rounds: int) -> tuple[list[float], dict[str, list[float]]]:
    """Per-round backend/direct ratios and every sample of each side, the order flipped each round."""
    ratios: list[float] = []
    per_call: dict[str, list[float]] = {name: [] for name in samplers}
    for round_number in range(rounds):
        order = ["direct", "backend"] if round_number % 2 == 0 else ["backend", "direct"]
        seconds = {name: samplers[name]() for name in order}
        for name, value in seconds.items():
            per_call[name].append(value)
        ratios.append(seconds["backend"] / seconds["direct"])
    return ratios, per_call


if __name__ == "__main__":
    main()
