"""Construction of the Bedrock backend: arguments, the aioboto3 session it builds, no network."""

import datetime
import logging

import pytest

bedrock = pytest.importorskip("vorn_sandbox.code_interpreter.bedrock")
from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox  # noqa: E402
from vorn_sandbox.code_interpreter.bedrock import BedrockAgentCoreSandbox  # noqa: E402

LOGGER = "vorn_sandbox.code_interpreter.bedrock"
PAIRING = ("aws_access_key_id and aws_secret_access_key must be supplied together; "
           "aws_session_token is valid only with that pair")


class RecordingAioboto3:
    """Stands in for the module's `aioboto3`: records the keywords of every Session."""

    def __init__(self):
        self.sessions = []

    def Session(self, **kwargs):  # noqa: N802 - the SDK's name
        self.sessions.append(kwargs)
        return ("session", len(self.sessions))


@pytest.fixture
def sdk(monkeypatch):
    recording = RecordingAioboto3()
    monkeypatch.setattr(bedrock, "aioboto3", recording)
    return recording


@pytest.fixture(autouse=True)
def _logs(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)


def records(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def test_defaults(sdk, caplog):
    sandbox = BedrockAgentCoreSandbox()
    assert isinstance(sandbox, CodeInterpreterSandbox)
    assert (sandbox.region, sandbox.session_timeout, sandbox.language, sandbox.additional_packages) == (
        "us-east-1", 600, "python", [])
    assert sandbox.sandbox_id is None and sandbox._is_started is False
    assert sandbox._client is None and sandbox._client_context is None
    assert sdk.sessions == [{"region_name": "us-east-1"}] and sandbox.aioboto3_session == ("session", 1)
    assert records(caplog) == [("INFO", "BedrockAgentCoreSandbox initialized in region us-east-1 (lazy start)")]


@pytest.mark.parametrize("language,ok", [("python", True), ("Python", True), ("PYTHON", True), ("python3", False),
                                         ("Python3", False), ("py", False), (" python", False), ("py\udcff", False)])
def test_language(sdk, language, ok):
    if ok:
        assert BedrockAgentCoreSandbox(language=language).language == language
    else:
        with pytest.raises(ValueError) as caught:
            BedrockAgentCoreSandbox(language=language)
        assert str(caught.value) == f"Bedrock AgentCore only supports Python, got: {language}"
        assert sdk.sessions == []


@pytest.mark.parametrize(
    "kwargs,expected",
    [
        ({"sandbox_timeout": 120, "session_timeout": 900}, 120),
        ({"session_timeout": 900}, 900),
        ({"session_timeout": 45.9}, 45),
        ({"sandbox_timeout": datetime.timedelta(minutes=2)}, 120),
        ({"sandbox_timeout": 0}, ValueError),
        ({"sandbox_timeout": True}, ValueError),
        ({"session_timeout": 0.5}, ValueError),
    ],
)
def test_session_lifetime(sdk, kwargs, expected):
    if expected is ValueError:
        with pytest.raises(ValueError, match="sandbox timeout must be a positive number of seconds"):
            BedrockAgentCoreSandbox(**kwargs)
    else:
        assert BedrockAgentCoreSandbox(**kwargs).session_timeout == expected


@pytest.mark.parametrize(
    "packages,lifetime,warned",
    [(["pandas"], 60, True), (["pandas"], 300, False), ([], 60, False), (["a", "b"], 299, True)],
)
def test_install_budget_warning(sdk, caplog, packages, lifetime, warned):
    BedrockAgentCoreSandbox(additional_packages=packages, sandbox_timeout=lifetime)
    warnings = [m for level, m in records(caplog) if level == "WARNING"]
    expected = (f"sandbox_timeout={lifetime}s is below the 300s install budget, so installing {packages!r} may "
                "outlive the session. Pass sandbox_timeout=600 or higher when using additional_packages.")
    assert warnings == ([expected] if warned else [])


@pytest.mark.parametrize(
    "credentials,ok",
    [
        ({"aws_access_key_id": "k"}, False),
        ({"aws_secret_access_key": "s"}, False),
        ({"aws_session_token": "t"}, False),
        ({"aws_secret_access_key": "s", "aws_session_token": "t"}, False),
        ({"aws_access_key_id": "k", "aws_secret_access_key": "s"}, True),
        ({"aws_access_key_id": "k", "aws_secret_access_key": "s", "aws_session_token": "t"}, True),
        ({"aws_access_key_id": "", "aws_secret_access_key": ""}, True),
        ({}, True),
    ],
)
def test_credential_pairing(sdk, credentials, ok):
    if not ok:
        with pytest.raises(ValueError) as caught:
            BedrockAgentCoreSandbox(**credentials)
        assert str(caught.value) == PAIRING
        assert sdk.sessions == []
        return
    BedrockAgentCoreSandbox(**credentials)
    assert sdk.sessions == [{"region_name": "us-east-1", **credentials}]


def test_warning_comes_before_the_pairing_error(sdk, caplog):
    with pytest.raises(ValueError, match="must be supplied together"):
        BedrockAgentCoreSandbox(sandbox_timeout=60, additional_packages=["x"], aws_access_key_id="k")
    assert [level for level, _ in records(caplog)] == ["WARNING"]


def test_session_kwargs_merge_without_touching_the_callers_mapping(sdk):
    caller = {"region_name": "eu-west-1", "profile_name": "dev", "aws_access_key_id": "from-kwargs",
              "aws_session_token": "kept"}
    BedrockAgentCoreSandbox(aioboto3_session_kwargs=caller, aws_access_key_id="arg", aws_secret_access_key="s")
    assert sdk.sessions == [{"region_name": "us-east-1", "profile_name": "dev", "aws_access_key_id": "arg",
                             "aws_session_token": "kept", "aws_secret_access_key": "s"}]
    assert caller["region_name"] == "eu-west-1" and "aws_secret_access_key" not in caller


@pytest.mark.parametrize("seconds", [30, -5])
async def test_set_timeout_only_warns(sdk, caplog, seconds):
    sandbox = BedrockAgentCoreSandbox()
    assert await sandbox.set_timeout(seconds) is None
    assert sandbox.session_timeout == 600
    assert records(caplog)[-1] == ("WARNING", f"set_timeout({seconds}) has no effect on BedrockAgentCoreSandbox. "
                                              "Pass session_timeout to __init__ instead.")


def test_import_without_aioboto3_names_the_extra_and_can_be_retried():
    import subprocess
    import sys
    import textwrap

    program = textwrap.dedent("""
        import sys
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "aioboto3":
                    raise ImportError("blocked: " + name)
        blocker = Refuse()
        sys.meta_path.insert(0, blocker)
        try:
            import vorn_sandbox.code_interpreter.bedrock
        except ImportError as error:
            print(error)
            print(type(error.__cause__).__name__, error.__cause__)
        print("vorn_sandbox.code_interpreter.bedrock" in sys.modules)
        sys.meta_path.remove(blocker)
        import vorn_sandbox.code_interpreter.bedrock as module
        print(module.BedrockAgentCoreSandbox.__name__)
    """)
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "The aioboto3 package is required. Install it with: pip install 'vorn-sandbox[bedrock]'",
        "ImportError blocked: aioboto3",
        "False",
        "BedrockAgentCoreSandbox",
    ]


def _hints():
    import inspect
    import typing
    from collections.abc import Callable

    import aioboto3

    from vorn_sandbox.models import ExecutionResult, SandboxFile

    opt_str, opt_int, opt_float, payload = str | None, int | None, float | None, bytes | None
    cls = BedrockAgentCoreSandbox
    return inspect, typing, aioboto3, [
        (cls.__init__, {"region": str, "aws_access_key_id": opt_str, "aws_secret_access_key": opt_str,
                        "aws_session_token": opt_str, "language": str, "session_timeout": opt_int,
                        "sandbox_timeout": opt_int, "aioboto3_session_kwargs": dict[str, typing.Any] | None,
                        "additional_packages": list[str] | None, "return": type(None)}),
        (cls._warn_if_session_outlived_by_install, {"return": type(None)}),
        (cls._ensure_started, {"return": type(None)}),
        (cls._start_session, {"return": type(None)}),
        (cls.execute_code, {"code": str, "timeout": opt_float, "files": list[SandboxFile] | None,
                            "upload_dir": opt_str, "on_stdout": Callable[[str], None] | None,
                            "on_stderr": Callable[[str], None] | None, "kwargs": typing.Any,
                            "return": ExecutionResult}),
        (cls.execute_command, {"cmd": str, "env": dict[str, str] | None, "timeout": opt_float,
                               "return": ExecutionResult}),
        (cls.set_timeout, {"seconds": int, "return": type(None)}),
        (cls.sandbox_id.fget, {"return": opt_str}),
        (cls._parse_execution_response, {"response": dict, "return": tuple[str, str, str]}),
        (cls._upload_files, {"files": list[SandboxFile], "upload_dir": opt_str, "return": type(None)}),
        (cls.download_file, {"file_path": str, "timeout": float, "return": payload}),
        (cls._read_file, {"file_path": str, "return": payload}),
        (cls._close_stream, {"response": dict, "return": type(None)}),
        (cls._extract_image_data, {"content_item": dict, "return": payload}),
        (cls._extract_resource_data, {"content_item": dict, "return": payload}),
        (cls._parse_file_response, {"response_stream": dict, "return": payload}),
        (cls.terminate, {"timeout": float, "return": type(None)}),
    ]


def test_signatures_carry_their_annotations():
    inspect, typing, aioboto3, expected = _hints()
    for function, hints in expected:
        assert typing.get_type_hints(function) == hints, function.__name__
        signature = inspect.signature(function)
        for name, annotation in hints.items():
            if name != "return":
                assert signature.parameters[name].annotation == annotation, (function.__name__, name)
    fields = typing.get_type_hints(BedrockAgentCoreSandbox)
    assert {name: fields[name] for name in ("region", "session_timeout", "aioboto3_session", "_session_id",
                                            "_is_started")} == {
        "region": str, "session_timeout": int, "aioboto3_session": aioboto3.Session, "_session_id": str | None,
        "_is_started": bool}
    assert fields["_client"] is fields["_client_context"] is typing.Any
