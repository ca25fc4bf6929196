"""Runner replies turned into results, and the reply line taken out of a program's output."""

import base64
import json

import pytest

from vorn_sandbox.code_interpreter.primitives import _primitive_response
from vorn_sandbox.models import CommandResult, ExecutionResult, ExecutionStatus, WorkspaceFileWriteResult
from vorn_sandbox.primitives import _decode_bounded_text, _execution_error, parse_command_response, parse_write_response

ARGV = ("echo", "hi")


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def test_full_command_response():
    response = {
        "ok": False, "status": "timeout", "exit_code": -9, "stdout_b64": b64(b"out"), "stderr_b64": b64("é".encode()),
        "stdout_byte_count": 10, "stderr_byte_count": 2, "stdout_captured_byte_count": 3,
        "stderr_captured_byte_count": 2, "stdout_truncated": True, "stderr_truncated": False,
        "stdout_byte_count_complete": False, "stderr_byte_count_complete": True, "timed_out": True,
        "cwd": "/proc/self/fd/5", "duration_ms": 2003, "error": "command exceeded timeout of 2.0 seconds",
    }
    result = parse_command_response(ARGV, response)
    assert isinstance(result, CommandResult)
    assert result.model_dump() == {
        "argv": ARGV, "duration_ms": 2003, "error": "command exceeded timeout of 2.0 seconds", "exit_code": -9,
        "status": ExecutionStatus.TIMEOUT, "stderr": "é", "stderr_byte_count": 2, "stderr_captured_byte_count": 2,
        "stderr_truncated": False, "stderr_byte_count_complete": True, "stdout": "out", "stdout_byte_count": 10,
        "stdout_captured_byte_count": 3, "stdout_truncated": True, "stdout_byte_count_complete": False,
        "timed_out": True,
    }
    assert result.status is ExecutionStatus.TIMEOUT


def test_error_response_reads_as_a_failed_command():
    result = parse_command_response(ARGV, {"ok": False, "status": "error",
                                           "error": "ValueError: argv must not contain NUL"})
    assert result.model_dump() == {
        "argv": ARGV, "duration_ms": None, "error": "ValueError: argv must not contain NUL", "exit_code": 1,
        "status": ExecutionStatus.ERROR, "stderr": "", "stderr_byte_count": 0, "stderr_captured_byte_count": 0,
        "stderr_truncated": False, "stderr_byte_count_complete": True, "stdout": "", "stdout_byte_count": 0,
        "stdout_captured_byte_count": 0, "stdout_truncated": False, "stdout_byte_count_complete": True,
        "timed_out": False,
    }


@pytest.mark.parametrize("response, status, exit_code", [
    ({"status": "success"}, ExecutionStatus.SUCCESS, 0),
    ({"status": "success", "exit_code": None}, ExecutionStatus.SUCCESS, 0),
    ({"status": "timeout"}, ExecutionStatus.TIMEOUT, None),
    ({"status": "timeout", "exit_code": -9}, ExecutionStatus.TIMEOUT, -9),
    ({"status": "error"}, ExecutionStatus.ERROR, 1),
    ({"status": "success", "exit_code": 3}, ExecutionStatus.SUCCESS, 3),
    ({"status": "SUCCESS"}, ExecutionStatus.ERROR, 1),
    ({"status": ""}, ExecutionStatus.ERROR, 1),
    ({"status": None}, ExecutionStatus.ERROR, 1),
    ({}, ExecutionStatus.ERROR, 1),
    ({"status": "None"}, ExecutionStatus.ERROR, 1),
])
def test_status_and_exit_code(response, status, exit_code):
    result = parse_command_response(ARGV, response)
    assert result.status is status and result.exit_code == exit_code and result.timed_out is False


class Unreadable:
    def __str__(self):
        raise ValueError("no text")


def test_only_an_unknown_status_reads_as_error():
    # A status that cannot even be turned into text is not an unknown status.
    with pytest.raises(ValueError, match="^no text$"):
        parse_command_response(ARGV, {"status": Unreadable()})


def test_timed_out_comes_only_from_its_key():
    assert parse_command_response(ARGV, {"status": "success", "timed_out": 1}).timed_out is True


@pytest.mark.parametrize("value, truncated", [(1, True), ("true", True), ("false", True), ([0], True),
                                              (0, False), (None, False), ("", False), ([], False), ({}, False)])
def test_flags_take_the_truth_value(value, truncated):
    result = parse_command_response(ARGV, {"stdout_truncated": value, "stderr_byte_count_complete": value})
    assert result.stdout_truncated is truncated and result.stderr_byte_count_complete is truncated


@pytest.mark.parametrize("value, count", [(7, 7), (True, 1), (False, 0), (7.9, 7), (-2.5, -2), ("12", 12),
                                          (" 12 ", 12)])
def test_counts_are_integers(value, count):
    result = parse_command_response(ARGV, {"stdout_byte_count": value, "stderr_captured_byte_count": value})
    assert result.stdout_byte_count == count and result.stderr_captured_byte_count == count
    assert type(result.stdout_byte_count) is int


@pytest.mark.parametrize("value, error", [(None, TypeError), ("1.5", ValueError), ("ten", ValueError),
                                          ([1], TypeError), (float("nan"), ValueError),
                                          (float("inf"), OverflowError)])
def test_unconvertible_counts_fail(value, error):
    with pytest.raises(error):
        parse_command_response(ARGV, {"status": "success", "stderr_byte_count": value})


@pytest.mark.parametrize("field, value", [("duration_ms", "soon"), ("exit_code", "x"), ("error", None)])
def test_values_the_model_refuses_fail_as_value_errors(field, value):
    response = {"status": "success", field: value}
    if field == "error":  # the error text is taken in its text form, so null is "None"
        assert parse_command_response(ARGV, response).error == "None"
        return
    with pytest.raises(ValueError):
        parse_command_response(ARGV, response)


def test_error_text_is_made_one_line():
    assert parse_command_response(ARGV, {"error": "first\nsecond\n"}).error == "first second"
    assert _execution_error("  a\r\n\tb\n") == "a\r \tb"
    assert _execution_error("") == ""


@pytest.mark.parametrize("encoded, text", [
    ("", ""),
    (b64("héllo".encode()), "héllo"),
    (b64("€".encode()[:2]), "\ufffd"),
    (b64(b"ab" + "€".encode()[:2]), "ab\ufffd"),
    (b64(b"\xff"), "\ufffd"),
])
def test_decode_bounded_text(encoded, text):
    assert _decode_bounded_text(encoded) == text


@pytest.mark.parametrize("encoded", ["YWJj\n", "YW Jj", "YWJ", "YW*j", "Y===", "YWJj="])
def test_decode_bounded_text_is_strict(encoded):
    with pytest.raises(ValueError):
        _decode_bounded_text(encoded)
    with pytest.raises(ValueError):
        parse_command_response(ARGV, {"status": "success", "stdout_b64": encoded})


def test_argv_comes_from_the_caller():
    assert parse_command_response(("a",), {"argv": ["b"], "status": "success"}).argv == ("a",)


# --- file-write replies -----------------------------------------------------------------


def test_successful_write():
    result = parse_write_response("dir/../f.txt", {"ok": True, "status": "success", "path": "f.txt",
                                                   "bytes_written": 3, "overwritten": 1, "duration_ms": 4,
                                                   "error": ""})
    assert isinstance(result, WorkspaceFileWriteResult)
    assert result.model_dump() == {"bytes_written": 3, "duration_ms": 4, "overwritten": True, "path": "dir/../f.txt"}


def test_successful_write_without_duration():
    assert parse_write_response("f", {"ok": 1, "bytes_written": "5", "overwritten": 0}).model_dump() == {
        "bytes_written": 5, "duration_ms": None, "overwritten": False, "path": "f"}


@pytest.mark.parametrize("response, message", [
    ({"ok": False}, "primitive write failed"),
    ({}, "primitive write failed"),
    ({"ok": False, "error": ""}, ""),
    ({"ok": 0, "error": "ValueError: path must not be empty\n  detail\n"}, "ValueError: path must not be empty   detail"),
    ({"ok": None, "error": None}, "None"),
    ({"ok": True, "status": "error"}, None),
])
def test_failed_write_raises_the_runner_text(response, message):
    if message is None:  # "ok" decides, the status is not read; a success needs its two keys
        with pytest.raises(KeyError):
            parse_write_response("f", response)
        return
    with pytest.raises(ValueError) as caught:
        parse_write_response("f", response)
    assert str(caught.value) == message and type(caught.value) is ValueError


@pytest.mark.parametrize("missing", ["bytes_written", "overwritten"])
def test_successful_write_needs_its_keys(missing):
    response = {"ok": True, "bytes_written": 1, "overwritten": False}
    del response[missing]
    with pytest.raises(KeyError):
        parse_write_response("f", response)


# --- the reply line -----------------------------------------------------------------------

REPLY = {"ok": True, "status": "success"}


def ran(stdout, status=ExecutionStatus.SUCCESS, error=""):
    return ExecutionResult(status=status, stdout=stdout, error=error)


@pytest.mark.parametrize("stdout", [
    json.dumps(REPLY) + "\n",
    "noise\n" + json.dumps(REPLY) + "\nmore noise\n",
    "a\r" + json.dumps(REPLY) + "\x1cb",
    "x\u2029" + json.dumps(REPLY) + "\x85" + " {not a reply\n",
    json.dumps(REPLY) + "  \t",
])
def test_reply_line_found_among_other_output(stdout):
    assert _primitive_response(ran(stdout)) == REPLY


@pytest.mark.parametrize("stdout", ["", "no reply\n", " " + json.dumps(REPLY), json.dumps(REPLY) + "\n{}\n",
                                    json.dumps(REPLY) + "\u2028" + json.dumps(REPLY)])
def test_exactly_one_reply_line(stdout):
    with pytest.raises(ValueError, match=r"^expected exactly one JSON primitive response from sandbox output$"):
        _primitive_response(ran(stdout))


@pytest.mark.parametrize("line", ["{", '{"a": 1} x', "{'a': 1}", '{"a": 1}{"b": 2}'])
def test_malformed_reply(line):
    with pytest.raises(ValueError, match=r"^malformed JSON primitive response from sandbox$") as caught:
        _primitive_response(ran(line + "\n"))
    assert isinstance(caught.value.__cause__, json.JSONDecodeError)


def test_a_valid_reply_the_parser_cannot_convert_is_not_malformed():
    line = '{"n": ' + "1" * 5000 + "}"  # valid JSON, beyond the interpreter's integer conversion limit
    with pytest.raises(ValueError) as caught:
        _primitive_response(ran(line + "\n"))
    assert type(caught.value) is ValueError and "malformed" not in str(caught.value)
    assert "4300" in str(caught.value) and caught.value.__cause__ is None


@pytest.mark.parametrize("status, error, message", [
    (ExecutionStatus.SUCCESS, "Traceback: boom", "Traceback: boom"),
    (ExecutionStatus.ERROR, "", "sandbox did not execute the primitive"),
    (ExecutionStatus.TIMEOUT, "", "sandbox did not execute the primitive"),
    (ExecutionStatus.ERROR, "NameError: x", "NameError: x"),
])
def test_execution_must_succeed(status, error, message):
    with pytest.raises(ValueError) as caught:
        _primitive_response(ran(json.dumps(REPLY), status=status, error=error))
    assert str(caught.value) == message and caught.value.__cause__ is None
