"""Bounded capture, draining, process-group kill and the launch hand-off."""

from __future__ import annotations

import os
import selectors
import subprocess
import sys
import threading
import time

import pytest

from runner_harness import descriptors_changed_since, open_descriptors, process_gone


def test_capture_keeps_prefix_and_counts_everything(runner):
    capture = runner["_BoundedCapture"](5)
    assert capture.value() == b""
    capture.append(b"abc")
    capture.append(b"defg")
    assert (capture.value(), capture.captured, capture.observed, capture.truncated) == (b"abcde", 5, 7, True)
    assert capture.chunks == [b"abc", b"de"]
    capture.append(b"")
    capture.append(b"more")
    assert (capture.captured, capture.observed, len(capture.chunks)) == (5, 11, 2)


def test_capture_exact_fill_is_not_truncation(runner):
    capture = runner["_BoundedCapture"](4)
    capture.append(b"abcd")
    assert not capture.truncated
    capture.append(b"e")
    assert capture.truncated and capture.value() == b"abcd"


def _sleeper(*extra: str) -> subprocess.Popen[bytes]:
    return subprocess.Popen(["sleep", "30", *extra], start_new_session=True)


def test_kill_process_group_reaps_and_tolerates_gone_groups(runner):
    process = _sleeper()
    assert runner["_kill_process_group"](process, timeout=2.0) is True
    assert process.returncode == -9
    assert runner["_kill_process_group"](process, timeout=0.0) is True


def test_kill_process_group_reports_an_unreaped_child(runner, monkeypatch):
    process = _sleeper()
    try:
        monkeypatch.setattr(runner["os"], "killpg", lambda pid, sig: None)
        assert runner["_kill_process_group"](process, timeout=0.0) is False
    finally:
        process.kill()
        process.wait()


def test_kill_falls_back_to_the_child_when_the_group_cannot_be_signalled(runner, monkeypatch):
    process = _sleeper()

    def refuse(pid, sig):
        raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(runner["os"], "killpg", refuse)
    assert runner["_kill_process_group"](process, timeout=2.0) is True
    assert process.returncode == -9


def _pipe_streams():
    out_read, out_write = os.pipe()
    err_read, err_write = os.pipe()
    return (os.fdopen(out_read, "rb", buffering=0), out_write), (os.fdopen(err_read, "rb", buffering=0), err_write)


def test_drain_reads_to_end_of_file(runner):
    (out, out_write), (err, err_write) = _pipe_streams()
    os.write(out_write, b"hello")
    os.close(out_write)
    os.close(err_write)
    captures = (runner["_BoundedCapture"](3), runner["_BoundedCapture"](3))
    with selectors.DefaultSelector() as selector:
        selector.register(out, selectors.EVENT_READ, captures[0])
        selector.register(err, selectors.EVENT_READ, captures[1])
        assert runner["_drain_streams"](selector, captures, deadline=time.monotonic() + 1.0) == (True, True)
        assert not selector.get_map()
    assert out.closed and err.closed
    assert (captures[0].value(), captures[0].observed, captures[0].truncated) == (b"hel", 5, True)


def test_drain_gives_up_on_a_held_stream_at_its_deadline(runner):
    (out, out_write), (err, err_write) = _pipe_streams()
    os.close(err_write)
    captures = (runner["_BoundedCapture"](8), runner["_BoundedCapture"](8))
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(out, selectors.EVENT_READ, captures[0])
            selector.register(err, selectors.EVENT_READ, captures[1])
            started = time.monotonic()
            assert runner["_drain_streams"](selector, captures, deadline=started + 0.3) == (False, True)
            assert time.monotonic() - started < 10  # a held stream is held for good
            assert runner["_drain_streams"](selector, captures, deadline=time.monotonic() - 1) == (False, True)
    finally:
        os.close(out_write)
        out.close()


def _spawn_probe(runner, tmp_path, **kwargs):
    fd = os.open(tmp_path, os.O_RDONLY)
    other = os.open(tmp_path, os.O_RDONLY)
    env = {"KEEP": "1"}
    try:
        process = runner["_spawn_process"](
            [sys.executable, "-S", "-c", "import os, json; print(json.dumps(dict(os.environ)))"],
            deadline=time.monotonic() + 10,
            stdout=subprocess.PIPE,
            env=env,
            pass_fds=(fd, other),
            **kwargs,
        )
        output, _ = process.communicate(timeout=10)
        os.fstat(fd)
        os.fstat(other)
        child_env = eval(output)
        # The interpreter itself may coerce a C locale into LC_CTYPE.
        child_env.pop("LC_CTYPE", None)
        return env, fd, other, child_env
    finally:
        os.close(fd)
        os.close(other)


def test_spawn_names_the_duplicates_not_the_callers_descriptors(runner, tmp_path):
    env, fd, other, child_env = _spawn_probe(
        runner, tmp_path, pass_fd_env={"VORN_SANDBOX_ROOT_FD": 0, "VORN_SANDBOX_SOURCE_FD": 1}
    )
    assert env == {"KEEP": "1"}
    assert set(child_env) == {"KEEP", "VORN_SANDBOX_ROOT_FD", "VORN_SANDBOX_SOURCE_FD"}
    assert {int(child_env["VORN_SANDBOX_ROOT_FD"]), int(child_env["VORN_SANDBOX_SOURCE_FD"])}.isdisjoint({fd, other})


def test_spawn_without_names_sets_only_the_root_variable(runner, tmp_path):
    _, _, _, child_env = _spawn_probe(runner, tmp_path)
    assert set(child_env) == {"KEEP", "VORN_SANDBOX_ROOT_FD"}


def _wait_for_setup_threads():
    for thread in threading.enumerate():
        if thread.name == "vorn-sandbox-process-setup":
            thread.join(5)


def test_failed_launch_raises_the_setup_threads_own_exception(runner, tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY)
    before = open_descriptors()
    seen = []
    real_popen = subprocess.Popen

    def failing_popen(*args, **kwargs):
        try:
            return real_popen(*args, **kwargs)
        except OSError as exc:
            seen.append(exc)
            raise

    try:
        runner["subprocess"].Popen = failing_popen
        with pytest.raises(FileNotFoundError) as caught:
            runner["_spawn_process"](["/nonexistent/program"], deadline=None, pass_fds=(fd,), env={})
    finally:
        runner["subprocess"].Popen = real_popen
        os.close(fd)
    assert caught.value is seen[0]
    _wait_for_setup_threads()
    assert descriptors_changed_since(before - {fd}) == set()


def test_deadline_before_hand_off_kills_the_started_process(runner, monkeypatch):
    started = []

    def slow_hook(process):
        started.append(process.pid)
        time.sleep(0.3)

    monkeypatch.setitem(runner, "_after_popen", slow_hook)
    begun = time.monotonic()
    with pytest.raises(subprocess.TimeoutExpired) as caught:
        runner["_spawn_process"](["sleep", "30"], deadline=time.monotonic() + 0.05, start_new_session=True)
    assert caught.value.cmd == ["sleep", "30"]
    assert time.monotonic() - begun < 10  # not the process's 30 s
    _wait_for_setup_threads()
    assert started and process_gone(started[0])


def test_past_deadline_times_out_with_zero_budget(runner):
    with pytest.raises(subprocess.TimeoutExpired) as caught:
        runner["_spawn_process"](["sleep", "30"], deadline=time.monotonic() - 1, start_new_session=True)
    assert caught.value.timeout == 0.0
    _wait_for_setup_threads()


def _setup_threads_alive() -> bool:
    return any(thread.name == "vorn-sandbox-process-setup" and thread.is_alive() for thread in threading.enumerate())


class _LateCondition(threading.Condition):
    """A condition whose timed wait reports a time-out only after the setup
    thread has handed the process over and ended: the race that the caller
    must survive without orphaning that process. ``caller_waits`` is set once
    the caller is in that wait."""

    caller_waits: threading.Event

    def wait(self, timeout=None):
        if timeout is None:
            return super().wait()
        self.caller_waits.set()
        end = time.monotonic() + 60
        while time.monotonic() < end and _setup_threads_alive():
            super().wait(0.02)
        return False


def test_time_out_racing_the_hand_off_does_not_orphan_the_process(runner, monkeypatch):
    started, caller_waits = [], threading.Event()

    def hand_off_once_the_caller_waits(process):
        # On a busy machine the setup thread could otherwise hand the process
        # over before the caller even starts waiting: no race, no time-out.
        started.append(process)
        caller_waits.wait(60)

    monkeypatch.setitem(runner, "_after_popen", hand_off_once_the_caller_waits)
    monkeypatch.setattr(_LateCondition, "caller_waits", caller_waits, raising=False)
    monkeypatch.setattr(runner["threading"], "Condition", _LateCondition)
    with pytest.raises(subprocess.TimeoutExpired):
        runner["_spawn_process"](
            ["sleep", "30"], deadline=time.monotonic() + 30, start_new_session=True, stdout=subprocess.PIPE
        )
    process = started[0]
    assert process.returncode == -9
    assert process.stdout.closed


def test_setup_failure_whose_cleanup_fails_still_ends_the_wait(runner, monkeypatch):
    started = []

    def broken_hook(process):
        started.append(process)
        raise RuntimeError("hook failed")

    def broken_kill(process, *, timeout):
        raise OSError("kill failed")

    monkeypatch.setitem(runner, "_after_popen", broken_hook)
    monkeypatch.setitem(runner, "_kill_process_group", broken_kill)
    outcome = []

    def call():
        try:
            runner["_spawn_process"](["sleep", "30"], deadline=None, start_new_session=True)
        except BaseException as exc:  # noqa: BLE001 - the outcome is inspected below
            outcome.append(exc)

    caller = threading.Thread(target=call, daemon=True)
    caller.start()
    caller.join(5)
    try:
        assert not caller.is_alive(), "a caller without a deadline waited forever"
        assert isinstance(outcome[0], RuntimeError) and str(outcome[0]) == "hook failed"
        assert "kill failed" in outcome[0].__notes__[0]
    finally:
        started[0].kill()
        started[0].wait()


@pytest.mark.parametrize("failing_call", [2, 3])
def test_failed_duplication_closes_the_duplicates_already_made(runner, tmp_path, monkeypatch, failing_call):
    # The runner lives in a long-lived interpreter: a launch refused for lack
    # of descriptors must not keep the duplicates it had already made.
    fds = [os.open(tmp_path, os.O_RDONLY) for _ in range(3)]
    before = open_descriptors()
    real_dup = os.dup
    calls = []

    def dup(fd):
        calls.append(fd)
        if len(calls) == failing_call:
            raise OSError(24, "Too many open files")
        return real_dup(fd)

    monkeypatch.setattr(runner["os"], "dup", dup)
    try:
        with pytest.raises(OSError, match="Too many open files"):
            runner["_spawn_process"](["true"], deadline=None, pass_fds=tuple(fds), env={})
        monkeypatch.undo()
        assert descriptors_changed_since(before) == set()
    finally:
        for fd in fds:
            os.close(fd)


def test_deadline_passing_while_a_failed_launch_cleans_up_raises_the_recorded_error(runner, monkeypatch):
    # The hook fails after Popen; the setup thread's kill of the unclaimed
    # process is still running when the caller's deadline passes.
    started = []
    deadline = time.monotonic() + 1.0
    real_kill = runner["_kill_process_group"]

    def broken_hook(process):
        started.append(process)
        raise RuntimeError("hook failed")

    def slow_kill(process, *, timeout):
        time.sleep(max(0.0, deadline - time.monotonic()) + 0.3)
        return real_kill(process, timeout=timeout)

    monkeypatch.setitem(runner, "_after_popen", broken_hook)
    monkeypatch.setitem(runner, "_kill_process_group", slow_kill)
    with pytest.raises(RuntimeError, match="^hook failed$"):
        runner["_spawn_process"](["sleep", "30"], deadline=deadline, start_new_session=True)
    assert started[0].returncode == -9
