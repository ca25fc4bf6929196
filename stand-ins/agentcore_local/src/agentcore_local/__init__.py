"""A local AgentCore Code Interpreter service for tests, benchmarks and the demo.

Speaks the service's rest-json protocol for starting, invoking and stopping
Code Interpreter sessions and answers invocations with AWS event streams, so the
real botocore/aioboto3 clients reach it through AWS_ENDPOINT_URL_BEDROCK_AGENTCORE.
"""

from .control import ACCESS_KEY_ID, ENDPOINT_VARIABLE, SECRET_ACCESS_KEY, LocalAgentCore, environment

__all__ = ["ACCESS_KEY_ID", "ENDPOINT_VARIABLE", "SECRET_ACCESS_KEY", "LocalAgentCore", "environment"]
