"""The local AgentCore service and its sessions end with whoever started them."""

import signal
import sys

import pytest
from _orphans import leftovers_after_kill

# Starts the service as the pytest fixture does, opens a session whose code
# leaves a command running and whose next run is still busy, then waits to be
# killed. With "service" it first kills the service itself, so the sessions
# must notice on their own.
PROGRAM = r"""
import os, signal, sys, threading, time
import boto3
from botocore.config import Config
from agentcore_local.control import LocalAgentCore

service = LocalAgentCore.start()
os.environ.update(service.env, AWS_CONFIG_FILE="/dev/null", AWS_SHARED_CREDENTIALS_FILE="/dev/null",
                  AWS_EC2_METADATA_DISABLED="true")
client = boto3.session.Session(region_name="us-east-1").client(
    "bedrock-agentcore", config=Config(retries={"total_max_attempts": 1}, read_timeout=3600))
interpreter = "aws.codeinterpreter.v1"
session = client.start_code_interpreter_session(
    codeInterpreterIdentifier=interpreter, name="lifetime", sessionTimeoutSeconds=3600)["sessionId"]


def run(code):
    reply = client.invoke_code_interpreter(codeInterpreterIdentifier=interpreter, sessionId=session,
                                           name="executeCode", arguments={"language": "python", "code": code})
    return list(reply["stream"])


run("import subprocess; subprocess.Popen(['sleep', '1000'], start_new_session=False)")
threading.Thread(target=run, args=("import time; time.sleep(1000)",), daemon=True).start()
while not service.calls().get("invoke:executeCode", 0) >= 2:
    time.sleep(0.05)
if sys.argv[1] == "service":
    service.process.kill()
    service.process.wait()
print("READY", flush=True)
time.sleep(1000)
"""


@pytest.mark.parametrize("killed", ["starter", "service"])
def test_nothing_outlives_a_killed_starter_or_service(killed):
    assert leftovers_after_kill([sys.executable, "-c", PROGRAM, killed], sig=signal.SIGKILL) == []
