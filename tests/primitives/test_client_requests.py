"""Requests and the bootstrap program, built in the caller's process."""

import base64
import json
import os
import subprocess
import sys
import textwrap
from importlib import resources
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn_sandbox.primitives as primitives
from vorn_sandbox.primitives import build_command_payload, build_file_write_payload, runner_bootstrap

# The program the sandbox runs, as the protocol fixes it; filled with Python's own repr and json.
BOOTSTRAP_TEMPLATE = '''
        import base64

        _source = base64.b64decode({source!r}).decode("utf-8")
        _module_globals = {{
            "__name__": {module!r},
            "__file__": {filename!r},
            "_RUNNER_SOURCE": _source,
        }}
        exec(compile(_source, {filename!r}, "exec"), _module_globals)
        _module_globals["_RUNNER_SOURCE"] = _source
        import json
        import os

        _request = json.loads({request!r})
        if _request.get("workspace_root") is None:
            _request["workspace_root"] = os.getcwd()

        print(json.dumps(_module_globals[{function!r}](_request)))
        '''


def expected_bootstrap(request, runner_source):
    return textwrap.dedent(BOOTSTRAP_TEMPLATE.format(
        source=base64.b64encode(runner_source.encode("utf-8")).decode("ascii"),
        module="vorn_sandbox_primitive_runner",
        filename="vorn_sandbox_primitive_runner.py",
        request=json.dumps(request),
        function="run_primitive",
    ))


def command(argv=("true",), **overrides):
    keywords = dict(cwd_components=None, env=None, env_allowlist=[], max_output_bytes=1048576, timeout=None,
                    workspace_root=None)
    keywords.update(overrides)
    return build_command_payload(list(argv), **keywords)


def write(data=b"", **overrides):
    keywords = dict(max_bytes=16, overwrite=False, workspace_root=None)
    keywords.update(overrides)
    return build_file_write_payload("a/b.txt", data, **keywords)


# --- command requests -----------------------------------------------------------------------


def test_command_request_keys_and_defaults():
    argv = ["echo", "hi"]
    request = build_command_payload(argv, cwd_components=None, env=None, env_allowlist=["PATH"],
                                    max_output_bytes=10, timeout=None, workspace_root="/w")
    assert list(request.items()) == [
        ("argv", argv), ("cwd_components", []), ("env", {}), ("env_allowlist", ["PATH"]), ("max_output_bytes", 10),
        ("operation", "command"), ("timeout", 30.0), ("workspace_root", "/w"), ("version", 1)]
    assert request["argv"] is argv  # sent as given, neither copied nor checked
    assert type(request["cwd_components"]) is list and type(request["timeout"]) is float


@pytest.mark.parametrize("components, sent", [(None, []), ((), []), ([], []), (("a", "b c"), ["a", "b c"]),
                                              (["x", "é"], ["x", "é"])])
def test_cwd_components_accepted(components, sent):
    assert command(cwd_components=components)["cwd_components"] == sent


@pytest.mark.parametrize("components", ["src", b"src", {"a"}, ("a", 1), ["a", None], ("ok", b"x"),
                                        ("..", 3)])
def test_cwd_components_must_be_a_sequence_of_strings(components):
    with pytest.raises(ValueError, match=r"^cwd_components must be a sequence of strings$"):
        command(cwd_components=components)


@pytest.mark.parametrize("bad", ["", ".", "..", "/etc", "a/b", "a/", "nul\0"])
@pytest.mark.parametrize("where", [0, 1])
def test_cwd_components_must_be_relative_names(bad, where):
    components = ["ok", "fine"]
    components.insert(where, bad)
    with pytest.raises(ValueError, match=r"^cwd_components must be validated workspace-relative names$"):
        command(cwd_components=tuple(components))


@pytest.mark.parametrize("limit, accepted", [(1048576, True), (1048577, False), (0, True), (-1, True)])
def test_output_limit_upper_bound_only(limit, accepted):
    if accepted:
        assert command(max_output_bytes=limit)["max_output_bytes"] == limit
    else:
        with pytest.raises(ValueError, match=r"^max_output_bytes must not exceed 1048576$"):
            command(max_output_bytes=limit)


def test_output_limit_checked_before_cwd():
    with pytest.raises(ValueError, match="max_output_bytes"):
        command(max_output_bytes=2**30, cwd_components="bad")


@pytest.mark.parametrize("timeout, sent", [(None, 30.0), (0, 0), (-5, -5), (2, 2), (2.5, 2.5)])
def test_timeout(timeout, sent):
    value = command(timeout=timeout)["timeout"]
    assert value == sent and type(value) is type(sent)


@pytest.mark.parametrize("env, sent", [(None, {}), ({}, {}), ({"A": "1"}, {"A": "1"})])
def test_env(env, sent):
    assert command(env=env)["env"] == sent


def test_nonempty_env_is_sent_as_given():
    env = {"B": "2", "A": "1"}
    assert command(env=env)["env"] is env


# --- file-write requests --------------------------------------------------------------------


def test_file_write_request_keys():
    request = build_file_write_payload("../odd path", b"\x00\xffdata", max_bytes=6, overwrite=True,
                                       workspace_root=None)
    assert list(request.items()) == [
        ("data_b64", base64.b64encode(b"\x00\xffdata").decode("ascii")), ("max_bytes", 6),
        ("operation", "file_write"), ("overwrite", True), ("path", "../odd path"), ("workspace_root", None),
        ("version", 1)]
    assert type(request["data_b64"]) is str


@pytest.mark.parametrize("data, max_bytes, message", [
    (b"", 16777217, r"^max_bytes must not exceed 16777216$"),
    (b"x" * 20, 16777217, r"^max_bytes must not exceed 16777216$"),  # the bound is checked first
    (b"123456", 5, r"^data exceeds configured write limit of 5 bytes$"),
])
def test_file_write_limits(data, max_bytes, message):
    with pytest.raises(ValueError, match=message):
        write(data, max_bytes=max_bytes)


class OddLimit(int):
    """A limit whose text no C++ string can hold."""

    def __str__(self):
        return "5\udc80"


def test_write_limit_message_quotes_any_text():
    with pytest.raises(ValueError) as caught:
        write(b"123456", max_bytes=OddLimit(5))
    assert str(caught.value) == "data exceeds configured write limit of 5\udc80 bytes"


@pytest.mark.parametrize("data, max_bytes", [(b"12345", 5), (b"", 1), (bytes(16777216), 16777216)])
def test_file_write_within_limits(data, max_bytes):
    assert base64.b64decode(write(data, max_bytes=max_bytes)["data_b64"]) == data


def test_file_write_accepts_bytes_like_data():
    assert write(bytearray(b"abc"))["data_b64"] == "YWJj"


# --- the bootstrap program -----------------------------------------------------------------


def installed_runner_source():
    return resources.files("vorn_sandbox").joinpath("primitive_runner.py").read_text(encoding="utf-8")


BIG = "QUJD" * 20000


@pytest.mark.parametrize("request_", [
    command(["printf", "it's", "a \"quoted\" \\ back\tslash", "é ☃ \U0001f600 \ud800"], env={"K": "v'\""},
            cwd_components=("dir",), timeout=0.25, workspace_root="/w'x"),
    command(["echo", "plain"]),
    write(b"\x00" * 16),
    {"data_b64": "A" * 70000 + "'", "version": 1},
    {"data_b64": "A" * 70000, "also": "B" * 70000, "n": 1.5, "flag": None},
    {"data_b64": "A" * 70000, "other": "contains A" * 3 + "A" * 70000},
    {"big": "x\u00e9" * 50000, "ctrl": "\x01\x7f" * 40000},
    {"path": "@vorn-sandbox-splice-0@ @vorn-sandbox-splice-1@", "first": BIG, "second": BIG + "/"},
    {"first": BIG, "again": BIG},
], ids=["quotes-and-unicode", "plain", "write", "big-with-quote", "two-big", "repeated", "non-inert-big",
        "marker-like-text", "one-object-twice"])
def test_bootstrap_matches_template(stub_runner, request_):
    path, looked_up = stub_runner
    assert runner_bootstrap(request_) == expected_bootstrap(request_, path.read_text(encoding="utf-8"))
    assert looked_up == ["vorn_sandbox"]


text = st.text(st.characters(exclude_categories=()), max_size=30)


@pytest.fixture(scope="module")
def stub_package(tmp_path_factory, stub_runner_source):
    package = tmp_path_factory.mktemp("pkg")
    (package / "primitive_runner.py").write_text(stub_runner_source, encoding="utf-8")
    return package


@settings(max_examples=150, deadline=None)
@given(argv=st.lists(text, max_size=5), env=st.dictionaries(text, text, max_size=3),
       root=st.none() | text, timeout=st.none() | st.floats(allow_nan=False, allow_infinity=False) | st.integers())
def test_bootstrap_text_is_json_dumps_and_repr(stub_package, stub_runner_source, argv, env, root, timeout):
    request = command(argv, env=env, timeout=timeout, workspace_root=root)
    with mock.patch.object(primitives, "files", lambda anchor: stub_package):
        assert runner_bootstrap(request) == expected_bootstrap(request, stub_runner_source)


# Characters either side of what json.dumps and repr copy through unchanged.
EDGE_CHARACTERS = ["A", "+", "/", "=", "'", '"', "\\", "\n", "\x00", "\x1f", "\x7f", "~", " ", "é"]


@settings(max_examples=60, deadline=None)
@given(unit=st.text(st.sampled_from(EDGE_CHARACTERS), min_size=1, max_size=20),
       size=st.integers(4000, 12000), key=text)
def test_bootstrap_of_large_values(stub_package, stub_runner_source, unit, size, key):
    payload = (unit * (size // len(unit) + 1))[:size]
    request = {"data_b64": payload, key: payload[:10], "version": 1}
    with mock.patch.object(primitives, "files", lambda anchor: stub_package):
        assert runner_bootstrap(request) == expected_bootstrap(request, stub_runner_source)


def installed_or_stub_source():
    try:
        return installed_runner_source()
    except FileNotFoundError:
        pytest.skip("the runner source is not installed")


def test_bootstrap_reads_the_installed_runner_on_every_call(monkeypatch, tmp_path):
    installed = installed_or_stub_source()
    assert runner_bootstrap(command()) == expected_bootstrap(command(), installed)
    package = tmp_path / "pkg"
    package.mkdir()
    for version in ("first = 1\n", "second = 2\n"):
        (package / "primitive_runner.py").write_text(version, encoding="utf-8")
        monkeypatch.setattr(primitives, "files", lambda anchor: package)
        assert runner_bootstrap(command()) == expected_bootstrap(command(), version)


def test_bootstrap_refuses_what_json_cannot_write(stub_runner):
    with pytest.raises(TypeError):
        runner_bootstrap({"argv": [object()]})
    with pytest.raises(TypeError):
        runner_bootstrap({"data": b"bytes"})


def test_bootstrap_fails_with_the_read_error(monkeypatch, tmp_path):
    monkeypatch.setattr(primitives, "files", lambda anchor: tmp_path)
    with pytest.raises(FileNotFoundError):
        runner_bootstrap(command())
    (tmp_path / "primitive_runner.py").write_bytes(b"\xff\xfe not utf-8")
    with pytest.raises(UnicodeDecodeError):
        runner_bootstrap(command())


def run_program(program, cwd, env=None):
    proc = subprocess.run([sys.executable, "-I", "-"], input=program.encode(), capture_output=True, cwd=cwd,
                          env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()
    return proc.stdout.decode()


@pytest.mark.parametrize("root", [None, "/somewhere/else"])
def test_bootstrap_program_runs_the_runner_with_the_request(stub_runner, tmp_path, root):
    path, _ = stub_runner
    request = command(["it's", "\\", "é\u2028"], workspace_root=root)
    output = run_program(runner_bootstrap(request), tmp_path, env={"STUB_RUNNER_PATH": str(path)})
    assert output.endswith("\n") and output.count("\n") == 1 and output.isascii()
    reply = json.loads(output)
    assert reply["loaded_as"] == ["vorn_sandbox_primitive_runner", "vorn_sandbox_primitive_runner.py"]
    assert reply["source_kept"] and reply["source_ok"]
    assert reply["params"] == dict(request, workspace_root=root or str(tmp_path))
    assert list(reply["params"]) == list(request)
    assert reply["text"] == "\u00e9\u2028"


def test_bootstrap_program_of_a_maximal_write_runs(stub_runner, tmp_path):
    path, _ = stub_runner
    data = os.urandom(16777216)
    program = runner_bootstrap(build_file_write_payload("f", data, max_bytes=len(data), overwrite=False,
                                                        workspace_root="/w"))
    assert len(program) > 22_000_000
    reply = json.loads(run_program(program, tmp_path, env={"STUB_RUNNER_PATH": str(path)}))
    assert base64.b64decode(reply["params"]["data_b64"]) == data


def test_runner_source_ships_beside_the_package():
    compile(installed_or_stub_source(), "vorn_sandbox_primitive_runner.py", "exec")
