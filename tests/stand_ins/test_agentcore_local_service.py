"""The local AgentCore service through botocore's real client and its error mapping."""

import os
import signal
import time

import boto3
import pytest
from botocore.config import Config
from botocore.exceptions import ClientError, EventStreamError

INTERPRETER = "aws.codeinterpreter.v1"


@pytest.fixture
def client(agentcore_local):
    session = boto3.session.Session(region_name="us-east-1")
    return session.client("bedrock-agentcore", config=Config(retries={"total_max_attempts": 1}))


def start(client, timeout=60):
    return client.start_code_interpreter_session(
        codeInterpreterIdentifier=INTERPRETER, name="test", sessionTimeoutSeconds=timeout
    )["sessionId"]


def invoke(client, session_id, tool, **arguments):
    response = client.invoke_code_interpreter(
        codeInterpreterIdentifier=INTERPRETER, sessionId=session_id, name=tool, arguments=arguments
    )
    events = list(response["stream"])
    assert all(set(event) == {"result"} for event in events)
    return [event["result"] for event in events]


def run(client, session_id, code):
    [result] = invoke(client, session_id, "executeCode", language="python", code=code)
    return result


def test_session_keeps_interpreter_state_and_ends_on_stop(client, agentcore_local):
    session_id = start(client)
    assert agentcore_local.live_sessions() == [session_id]
    assert run(client, session_id, "counter = 41")["isError"] is False
    result = run(client, session_id, "counter += 1\nprint(counter)")
    assert result["structuredContent"]["stdout"] == "42\n"
    client.stop_code_interpreter_session(codeInterpreterIdentifier=INTERPRETER, sessionId=session_id)
    assert agentcore_local.live_sessions() == []
    assert agentcore_local.calls() == {"start": 1, "invoke": 2, "invoke:executeCode": 2, "stop": 1}


@pytest.mark.parametrize(
    "code,stdout,stderr_tail,exit_code,is_error",
    [
        ("print('out')", "out\n", "", 0, False),
        ("import sys; sys.exit(0)", "", "", 0, False),
        ("import subprocess; subprocess.run('false')\nimport sys; sys.exit(1)", "", "", 1, True),
        ("raise ValueError('bad')", "", "ValueError: bad\n", 1, True),
        ("import os; os.system('echo from-child; echo err >&2')", "from-child\n", "err\n", 0, False),
    ],
)
def test_run_outcomes(client, code, stdout, stderr_tail, exit_code, is_error):
    session_id = start(client)
    result = run(client, session_id, code)
    structured = result["structuredContent"]
    assert (structured["stdout"], structured["exitCode"], result["isError"]) == (stdout, exit_code, is_error)
    assert structured["stderr"].endswith(stderr_tail)


def test_files_round_trip_on_disk(client):
    session_id = start(client)
    [written] = invoke(client, session_id, "writeFiles",
                       content=[{"path": "data/raw.bin", "blob": b"\x00\xffz"}, {"path": "note.txt", "text": "héllo"}])
    assert written["isError"] is False
    assert run(client, session_id, "print(open('data/raw.bin','rb').read())")["structuredContent"]["stdout"] == \
        "b'\\x00\\xffz'\n"
    [read] = invoke(client, session_id, "readFiles", paths=["data/raw.bin", "note.txt"])
    resources = [item["resource"] for item in read["content"]]
    assert (resources[0]["blob"], resources[1]["text"]) == (b"\x00\xffz", "héllo")


@pytest.mark.parametrize("path", ["../escape.txt", "/etc/passwd", ""])
def test_paths_outside_the_session_are_refused(client, path):
    session_id = start(client)
    [written] = invoke(client, session_id, "writeFiles", content=[{"path": path or "", "text": "x"}])
    [read] = invoke(client, session_id, "readFiles", paths=[path])
    assert written["isError"] is True and read["isError"] is True
    assert not os.path.exists(os.path.join(os.path.dirname(os.getcwd()), "escape.txt"))


def error_of(call) -> tuple[str, int]:
    with pytest.raises(ClientError) as caught:
        call()
    return caught.value.response["Error"]["Code"], caught.value.response["ResponseMetadata"]["HTTPStatusCode"]


def test_service_errors_map_to_client_error_codes(client, agentcore_local, monkeypatch):
    assert error_of(lambda: run(client, "0123abc", "pass")) == ("ResourceNotFoundException", 404)
    assert error_of(lambda: start(client, timeout=30000)) == ("ValidationException", 400)
    assert error_of(lambda: invoke(client, start(client), "executeCode", language="PYTHON", code="pass")) == (
        "ValidationException", 400)
    agentcore_local.fail_next("start", "ThrottlingException")
    assert error_of(lambda: start(client)) == ("ThrottlingException", 429)
    agentcore_local.fail_next("stop", "InternalServerException")
    session_id = start(client)
    assert error_of(lambda: client.stop_code_interpreter_session(
        codeInterpreterIdentifier=INTERPRETER, sessionId=session_id)) == ("InternalServerException", 500)
    assert session_id in agentcore_local.live_sessions()
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "AKIASOMEBODYELSE0000")
    stranger = boto3.session.Session(region_name="us-east-1").client("bedrock-agentcore")
    assert error_of(lambda: start(stranger)) == ("AccessDeniedException", 403)


def test_faults_target_one_tool_and_can_come_inside_the_stream(client, agentcore_local):
    session_id = start(client)
    agentcore_local.fail_next("invoke", "ThrottlingException", tool="readFiles")
    assert run(client, session_id, "pass")["isError"] is False
    assert error_of(lambda: invoke(client, session_id, "readFiles", paths=["x"]))[0] == "ThrottlingException"
    agentcore_local.fail_in_stream("ThrottlingException", message="later")
    with pytest.raises(EventStreamError) as caught:
        run(client, session_id, "pass")
    assert caught.value.response["Error"] == {"Code": "throttlingException", "Message": "later"}


def test_session_expires_at_its_timeout_with_its_processes_and_files(client, agentcore_local):
    session_id = start(client, timeout=1)
    result = run(client, session_id, "import os, subprocess\n"
                 "p = subprocess.Popen(['sleep', '60'])\nprint(p.pid, os.getcwd())")
    pid, directory = result["structuredContent"]["stdout"].split()
    time.sleep(1.6)
    assert agentcore_local.live_sessions() == []
    assert agentcore_local.ended_sessions()[session_id] == "expired"
    assert error_of(lambda: run(client, session_id, "pass")) == ("ResourceNotFoundException", 404)
    assert not os.path.exists(directory)
    assert process_gone(int(pid))


def process_gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ", 1)[1].startswith("Z")
    except FileNotFoundError:
        return True


def test_idempotent_start_with_one_client_token(client, agentcore_local):
    first = client.start_code_interpreter_session(
        codeInterpreterIdentifier=INTERPRETER, name="same", clientToken="t" * 40)["sessionId"]
    again = client.start_code_interpreter_session(
        codeInterpreterIdentifier=INTERPRETER, name="same", clientToken="t" * 40)["sessionId"]
    assert first == again and agentcore_local.live_sessions() == [first]
    assert error_of(lambda: client.start_code_interpreter_session(
        codeInterpreterIdentifier=INTERPRETER, name="other", clientToken="t" * 40)) == ("ValidationException", 400)


def test_sessions_start_with_default_signals_whatever_the_service_inherited(monkeypatch):
    # As a service started from `nohup ... &` does: SIGINT and SIGQUIT ignored.
    from agentcore_local.control import LocalAgentCore

    previous = {signum: signal.signal(signum, signal.SIG_IGN) for signum in (signal.SIGINT, signal.SIGQUIT)}
    try:
        service = LocalAgentCore.start()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    with service:
        for name, value in service.env.items():
            monkeypatch.setenv(name, value)
        monkeypatch.setenv("AWS_CONFIG_FILE", "/dev/null")
        monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/dev/null")
        client = boto3.session.Session(region_name="us-east-1").client("bedrock-agentcore")
        session_id = start(client)
        result = run(client, session_id, "import subprocess\n"
                     "subprocess.run(['grep', '-E', '^Sig(Ign|Blk)', '/proc/self/status'])\n"
                     "try:\n    import os, signal; os.kill(os.getpid(), signal.SIGINT); import time; time.sleep(5)\n"
                     "except KeyboardInterrupt:\n    print('interrupted')")
    blk_label, blocked, ign_label, ignored, said = result["structuredContent"]["stdout"].split()
    # A command the code starts ignores and blocks nothing; the interpreter
    # turns SIGINT into KeyboardInterrupt. Signals 32 and 33 are the C
    # library's own (it sets their handlers itself when it needs them); GNU
    # make's posix_spawn leaves them ignored in whatever it starts.
    c_library = (1 << 31) | (1 << 32)
    assert (blk_label, ign_label, said) == ("SigBlk:", "SigIgn:", "interrupted")
    assert (int(blocked, 16), int(ignored, 16) & ~c_library) == (0, 0)
