"""Dispatch, error responses and request validation of the runner."""

from __future__ import annotations

import math

import pytest

from runner_harness import command_request


@pytest.mark.parametrize(
    ("request_", "error"),
    [
        ({"version": 2, "operation": "command"}, "ValueError: unsupported primitive protocol version: 2"),
        ({"version": "1", "operation": "command"}, "ValueError: unsupported primitive protocol version: 1"),
        ({}, "ValueError: unsupported primitive protocol version: None"),
        ({"version": 1}, "ValueError: unsupported primitive operation: None"),
        ({"version": 1, "operation": "delete"}, "ValueError: unsupported primitive operation: delete"),
        ({"version": 1, "operation": "Command"}, "ValueError: unsupported primitive operation: Command"),
        ({"version": 1.0, "operation": "nope"}, "ValueError: unsupported primitive operation: nope"),
        ({"version": True, "operation": "nope"}, "ValueError: unsupported primitive operation: nope"),
        (["version", 1], "AttributeError: 'list' object has no attribute 'get'"),
    ],
)
def test_dispatch_refusals_are_error_responses(runner, request_, error):
    response = runner["run_primitive"](request_)
    assert list(response.items()) == [("ok", False), ("status", "error"), ("error", error)]


def test_error_text_has_type_and_message_only(runner):
    try:
        try:
            raise KeyError("inner")
        except KeyError as exc:
            raise ValueError("line one\nline two") from exc
    except ValueError as exc:
        assert runner["_error"](exc)["error"] == "ValueError: line one\nline two"
    assert runner["_error"](ValueError())["error"] == "ValueError: "
    assert runner["_error"](KeyboardInterrupt())["error"] == "KeyboardInterrupt: "


def test_dispatch_does_not_swallow_interrupts(runner, monkeypatch):
    def interrupted(params):
        raise KeyboardInterrupt

    monkeypatch.setitem(runner, "run_command", interrupted)
    with pytest.raises(KeyboardInterrupt):
        runner["run_primitive"]({"version": 1, "operation": "command"})


@pytest.mark.parametrize(
    ("value", "expected"),
    [(None, 30.0), (0, None), (-5, None), (2, 2.0), ("2.5", 2.5), (" 3 ", 3.0)],
)
def test_timeout_values(runner, value, expected):
    assert runner["_validate_timeout"](value) == expected


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (True, "timeout must be a number"),
        (False, "timeout must be a number"),
        (math.nan, "timeout must be finite"),
        ("inf", "timeout must be finite"),
        (-math.inf, "timeout must be finite"),
        ("soon", "could not convert string to float: 'soon'"),
    ],
)
def test_timeout_refusals(runner, value, error):
    with pytest.raises(ValueError) as caught:
        runner["_validate_timeout"](value)
    assert str(caught.value) == error


def test_timeout_of_unconvertible_type_keeps_its_error(runner):
    with pytest.raises(TypeError):
        runner["_validate_timeout"]([1])


@pytest.mark.parametrize("value", [0, -1, True, 5.0, "10", None])
def test_positive_int_refusals(runner, value):
    with pytest.raises(ValueError, match="^max_output_bytes must be a positive integer$"):
        runner["_validate_positive_int"](value, "max_output_bytes")
    assert runner["_validate_positive_int"](1, "max_bytes") == 1


@pytest.mark.parametrize(
    ("components", "expected"),
    [([], ()), (["a", "b"], ("a", "b")), (("...",), ("...",)), ([" "], (" ",))],
)
def test_components_accepted(runner, components, expected):
    assert runner["_validate_relative_components"](components) == expected


@pytest.mark.parametrize(
    ("components", "error"),
    [
        ("abc", "cwd_components must be a sequence of strings"),
        (None, "cwd_components must be a sequence of strings"),
        ({"a": 1}, "cwd_components must be a sequence of strings"),
        (["a", 1], "cwd_components must be a sequence of strings"),
        (["..", 1], "cwd_components must be a sequence of strings"),
        (["a", ""], "cwd_components must be validated workspace-relative names"),
        (["."], "cwd_components must be validated workspace-relative names"),
        (["a", ".."], "cwd_components must be validated workspace-relative names"),
        (["/etc"], "cwd_components must be validated workspace-relative names"),
        (["a/b"], "cwd_components must be validated workspace-relative names"),
        (["a\0b"], "cwd_components must be validated workspace-relative names"),
    ],
)
def test_components_refused(runner, components, error):
    with pytest.raises(ValueError) as caught:
        runner["_validate_relative_components"](components)
    assert str(caught.value) == error


@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("a.txt", ("a.txt",)),
        ("./dir//file.txt/", ("dir", "file.txt")),
        (" a.txt", (" a.txt",)),
        ("a\\b", ("a\\b",)),
    ],
)
def test_relative_path_accepted(runner, path, expected):
    assert runner["_validate_relative_path"](path) == expected


@pytest.mark.parametrize(
    ("path", "error"),
    [
        ("", "workspace path must be a non-empty string"),
        ("   ", "workspace path must be a non-empty string"),
        (7, "workspace path must be a non-empty string"),
        ("a\0b", "workspace path must not contain NUL"),
        ("/etc/passwd", "path must remain below the workspace root: /etc/passwd"),
        ("a/../b", "path must remain below the workspace root: a/../b"),
        ("..", "path must remain below the workspace root: .."),
        (".", "path must name a file below the workspace root: ."),
        ("././/", "path must name a file below the workspace root: ././/"),
    ],
)
def test_relative_path_refused(runner, path, error):
    with pytest.raises(ValueError) as caught:
        runner["_validate_relative_path"](path)
    assert str(caught.value) == error


def test_environment_is_allowlist_then_overrides(runner):
    inherited = {"PATH": "/bin", "HOME": "/root", "A-B": "x", "SECRET": "s"}
    environment = runner["_child_environment"](
        inherited, {"HOME": "/w", "1X": "y", "EMPTY": ""}, ["PATH", "HOME", "MISSING", "A-B"]
    )
    assert list(environment.items()) == [("PATH", "/bin"), ("HOME", "/w"), ("A-B", "x"), ("1X", "y"), ("EMPTY", "")]


@pytest.mark.parametrize(
    ("overrides", "allowlist", "error"),
    [
        (None, [], "env must be a mapping and env_allowlist must be a list"),
        ({}, "PATH", "env must be a mapping and env_allowlist must be a list"),
        ({}, ("PATH",), "env must be a mapping and env_allowlist must be a list"),
        ({}, [3], "environment allowlist entries must be strings"),
        ({"A": 1}, [], "environment keys and values must be strings"),
        ({"": "v"}, [], "environment keys and values must be non-empty strings without NUL"),
        ({"A": "v\0"}, [], "environment keys and values must be non-empty strings without NUL"),
        ({"A-B": "v"}, [], "environment key contains unsupported characters: A-B"),
        ({"É": "v"}, [], "environment key contains unsupported characters: É"),
    ],
)
def test_environment_refusals(runner, overrides, allowlist, error):
    with pytest.raises(ValueError) as caught:
        runner["_child_environment"]({}, overrides, allowlist)
    assert str(caught.value) == error


@pytest.mark.parametrize(
    ("changes", "error"),
    [
        ({"argv": []}, "ValueError: argv must be a non-empty sequence of strings"),
        ({"argv": ("true",)}, "ValueError: argv must be a non-empty sequence of strings"),
        ({"argv": "true"}, "ValueError: argv must be a non-empty sequence of strings"),
        ({"argv": ["true", 1]}, "ValueError: argv must be a non-empty sequence of strings"),
        ({"argv": ["true", "a\0"]}, "ValueError: argv must not contain NUL"),
        ({"cwd_components": ["..", "x"]}, "ValueError: cwd_components must be validated workspace-relative names"),
        ({"env": None}, "ValueError: env must be a mapping and env_allowlist must be a list"),
        ({"max_output_bytes": 0}, "ValueError: max_output_bytes must be a positive integer"),
        ({"timeout": True}, "ValueError: timeout must be a number"),
        ({"timeout": "nan"}, "ValueError: timeout must be finite"),
    ],
)
def test_command_request_refusals(runner, tmp_path, changes, error):
    request = command_request(["true"], tmp_path)
    request.update(changes)
    assert runner["run_primitive"](request) == {"ok": False, "status": "error", "error": error}


def test_command_request_missing_keys_and_bad_roots(runner, tmp_path):
    request = command_request(["true"], tmp_path)
    del request["max_output_bytes"]
    assert runner["run_primitive"](request)["error"] == "KeyError: 'max_output_bytes'"
    afile = tmp_path / "file"
    afile.write_text("x")
    request = command_request(["true"], afile)
    assert runner["run_primitive"](request)["error"] == f"ValueError: workspace root is not a directory: {afile}"
    request = command_request(["true"], tmp_path / "missing")
    assert runner["run_primitive"](request)["error"].startswith("FileNotFoundError: ")


def test_missing_proc_fd_is_refused_before_later_checks(runner, tmp_path, monkeypatch):
    real_isdir = runner["os"].path.isdir
    monkeypatch.setattr(runner["os"].path, "isdir", lambda path: path != "/proc/self/fd" and real_isdir(path))
    request = command_request(["true"], tmp_path, max_output_bytes=0)
    assert runner["run_primitive"](request)["error"] == (
        "ValueError: platform cannot safely confine command working directories"
    )
