"""Time limits, session lifetimes, upload paths and durations of ``vorn_sandbox.utils``."""

import time
from datetime import timedelta

import pytest

from vorn_sandbox.utils import build_upload_path, calculate_duration_ms, resolve_sandbox_timeout, resolve_timeout

MESSAGE = "sandbox timeout must be a positive number of seconds, got "


@pytest.mark.parametrize(
    "args, expected",
    [
        ((None,), 30),
        ((None, 45.5), 45.5),
        ((None, None), None),
        ((10, 99), 10),
        ((0.5, 99), 0.5),
        ((0, 99), None),
        ((0.0,), None),
        ((-3, 99), None),
    ],
)
def test_resolve_timeout(args, expected):
    got = resolve_timeout(*args)
    assert got == expected
    assert type(got) is type(expected)


def test_resolve_timeout_by_keyword_and_uncomparable_values():
    assert resolve_timeout(timeout=None, default=12) == 12
    for bad in ("30", timedelta(seconds=5)):
        with pytest.raises(TypeError):
            resolve_timeout(bad)


@pytest.mark.parametrize(
    "call, mapping, expected, left",
    [
        ({}, None, 600, None),
        ({"sandbox_timeout": 300}, None, 300, None),
        ({"sandbox_timeout": 299.9}, None, 299, None),
        ({"legacy_timeout": timedelta(minutes=5)}, None, 300, None),
        ({}, {"timeout": 120, "x": 1}, 120, {"x": 1}),
        ({}, {"timeout": timedelta(seconds=42.9)}, 42, {}),
        ({"sandbox_timeout": 60}, {"timeout": 120}, 60, {}),
        ({"legacy_timeout": 90}, {"timeout": 120}, 90, {}),
        ({}, {"timeout": None}, 600, {}),
        ({"legacy_key": "ttl"}, {"ttl": 50, "timeout": 7}, 50, {"timeout": 7}),
        ({"default": 5}, {}, 5, {}),
    ],
)
def test_resolve_sandbox_timeout(call, mapping, expected, left):
    if mapping is not None:
        call = {**call, "kwargs": mapping}
    got = resolve_sandbox_timeout(**call)
    assert got == expected
    assert type(got) is int
    if mapping is not None:
        assert mapping == left


@pytest.mark.parametrize(
    "call, mapping, shown",
    [
        ({"sandbox_timeout": 0, "legacy_timeout": 90}, None, "0"),
        ({"sandbox_timeout": False, "legacy_timeout": 90}, None, "False"),
        ({"sandbox_timeout": 0.5}, None, "0.5"),
        ({"legacy_timeout": timedelta(milliseconds=500)}, None, "0.5"),
        ({"sandbox_timeout": -1}, None, "-1"),
        ({"sandbox_timeout": True}, None, "True"),
        ({"sandbox_timeout": "600"}, None, "'600'"),
        ({"default": 0}, None, "0"),
        ({"sandbox_timeout": "x"}, {"timeout": 5}, "'x'"),
        ({}, {"timeout": -timedelta(seconds=3)}, "-3.0"),
    ],
)
def test_resolve_sandbox_timeout_rejects(call, mapping, shown):
    if mapping is not None:
        call = {**call, "kwargs": mapping}
    with pytest.raises(ValueError) as info:
        resolve_sandbox_timeout(**call)
    assert str(info.value) == MESSAGE + shown
    if mapping is not None:
        assert mapping == {}  # the legacy key is gone even when the call fails


def test_resolve_sandbox_timeout_calling_convention_and_infinity():
    assert resolve_sandbox_timeout(120) == 120
    with pytest.raises(TypeError):
        resolve_sandbox_timeout(None, 90)  # everything after the first argument is keyword-only
    with pytest.raises(OverflowError):
        resolve_sandbox_timeout(float("inf"))


@pytest.mark.parametrize(
    "filename, upload_dir, default_dir, expected",
    [
        ("data.csv", None, "/files", "/files/data.csv"),
        ("tools/x.py", None, "/files", "/files/tools/x.py"),
        ("data.csv", "/srv/in/", "/files", "/srv/in/data.csv"),
        ("data.csv", "/srv/in///", "/files", "/srv/in/data.csv"),
        ("data.csv", "/", "/files", "/data.csv"),
        ("data.csv", "", "/files", "data.csv"),
        ("data.csv", None, None, "data.csv"),
        ("data.csv", None, "", "data.csv"),
        ("data.csv", "rel/dir", None, "rel/dir/data.csv"),
        ("/abs/x.py", None, "/files", "/files//abs/x.py"),
        ("../x.py", None, "/files", "/files/../x.py"),
        ("a//b.txt", "/srv//in", "/files", "/srv//in/a//b.txt"),
    ],
)
def test_build_upload_path(filename, upload_dir, default_dir, expected):
    assert build_upload_path(filename, upload_dir, default_dir) == expected
    assert build_upload_path(filename=filename, upload_dir=upload_dir, default_dir=default_dir) == expected


def test_build_upload_path_takes_no_defaults():
    with pytest.raises(TypeError):
        build_upload_path("data.csv", None)


@pytest.mark.parametrize(
    "elapsed, expected",
    [(1.5, 1500), (2.9999, 2999), (0.0004, 0), (-0.0015, -1), (-2.9999, -2999)],
)
def test_duration_is_truncated_wall_clock_milliseconds(monkeypatch, elapsed, expected):
    start = 1_700_000_000.0
    monkeypatch.setattr(time, "time", lambda: start + elapsed)
    got = calculate_duration_ms(start)
    assert got == expected
    assert type(got) is int


def test_duration_on_the_real_clock():
    got = calculate_duration_ms(time.time() - 1.5)
    assert 1500 <= got < 1600
