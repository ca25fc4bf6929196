"""The command operation, run through the bootstrap program as a sandbox runs it."""

from __future__ import annotations

import base64
import json
import selectors
import subprocess
import sys
import time

import pytest

from runner_harness import command_request, process_gone, requires_confinement, run_request

pytestmark = requires_confinement

RESPONSE_KEYS = [
    "ok", "status", "exit_code", "stdout_b64", "stderr_b64", "stdout_byte_count", "stderr_byte_count",
    "stdout_captured_byte_count", "stderr_captured_byte_count", "stdout_truncated", "stderr_truncated",
    "stdout_byte_count_complete", "stderr_byte_count_complete", "timed_out", "cwd", "duration_ms", "error",
]


def _out(response, stream="stdout"):
    return base64.b64decode(response[f"{stream}_b64"])


def _python(code: str) -> list[str]:
    return [sys.executable, "-S", "-c", code]


def test_silent_success(tmp_path):
    response = run_request(command_request(["true"], tmp_path, env_allowlist=["PATH"])).response
    assert list(response) == RESPONSE_KEYS
    assert response["ok"] is True and response["status"] == "success" and response["exit_code"] == 0
    assert response["stdout_b64"] == "" and response["stdout_byte_count"] == 0
    assert response["stdout_byte_count_complete"] and response["stderr_byte_count_complete"]
    assert not response["timed_out"] and response["error"] == ""
    assert response["cwd"].startswith("/proc/self/fd/") and response["cwd"][14:].isdigit()


def test_failed_command_is_data(tmp_path):
    response = run_request(command_request(["sh", "-c", "echo out; echo err >&2; exit 3"], tmp_path,
                                           env_allowlist=["PATH"])).response
    assert (response["ok"], response["status"], response["exit_code"]) == (False, "error", 3)
    assert response["error"] == "command exited with code 3"
    assert (_out(response), _out(response, "stderr")) == (b"out\n", b"err\n")


def test_command_killed_by_a_signal(tmp_path):
    response = run_request(command_request(["sh", "-c", "kill -TERM $$"], tmp_path, env_allowlist=["PATH"])).response
    assert response["exit_code"] == -15 and response["error"] == "command exited with code -15"


def test_missing_program_fails_in_the_helper(tmp_path):
    response = run_request(command_request(["no-such-program-here"], tmp_path, env_allowlist=["PATH"])).response
    assert (response["status"], response["exit_code"]) == ("error", 1)
    assert b"FileNotFoundError" in _out(response, "stderr") and b"no-such-program-here" in _out(response, "stderr")


def test_arguments_and_environment_arrive_unchanged(tmp_path):
    argv = _python("import os, sys, json; print(json.dumps([sys.argv[1:], os.environ['V']]))")
    strange = ["it's", 'a "quote"', "back\\slash", "line\nbreak", "héllo ✓", ""]
    response = run_request(command_request(argv + strange, tmp_path, env={"V": "wert ✓ = \n"})).response
    assert json.loads(_out(response)) == [strange, "wert ✓ = \n"]


def test_working_directory_components(tmp_path):
    (tmp_path / "a" / "b").mkdir(parents=True)
    response = run_request(command_request(_python("import os; print(os.getcwd())"), tmp_path,
                                           cwd_components=["a", "b"])).response
    assert _out(response).decode().strip() == str(tmp_path / "a" / "b")


def test_missing_working_directory_is_refused_before_launch(tmp_path):
    response = run_request(command_request(["true"], tmp_path, cwd_components=["missing"])).response
    assert response == {"ok": False, "status": "error", "error": "FileNotFoundError: [Errno 2] No such file or directory"}


def test_missing_workspace_root_means_current_directory(tmp_path):
    (tmp_path / "here").mkdir()
    request = command_request(_python("import os; print(os.getcwd())"), None)
    response = run_request(request, cwd=tmp_path / "here").response
    assert _out(response).decode().strip() == str(tmp_path / "here")


def test_workspace_root_with_tilde_is_expanded(tmp_path):
    request = command_request(_python("import os; print(os.getcwd())"), "~")
    response = run_request(request, env={"HOME": str(tmp_path), "PATH": "/usr/bin:/bin"}).response
    assert _out(response).decode().strip() == str(tmp_path)


def test_environment_file_holds_allowlist_and_overrides_only(tmp_path):
    response = run_request(command_request(["env"], tmp_path, env={"ONE": "1"}, env_allowlist=["HOME", "NOT_SET"]),
                           env={"HOME": "/home/x", "SECRET": "s", "PATH": "/bin"}).response
    assert _out(response).decode().splitlines() == ["HOME=/home/x", "ONE=1"]


def test_output_limit_applies_to_each_stream(tmp_path):
    argv = _python("import os; os.write(1, b'0123456789'); os.write(2, b'abcdefgh')")
    response = run_request(command_request(argv, tmp_path, max_output_bytes=4)).response
    assert (_out(response), response["stdout_byte_count"], response["stdout_captured_byte_count"]) == (b"0123", 10, 4)
    assert (_out(response, "stderr"), response["stderr_byte_count"]) == (b"abcd", 8)
    assert response["stdout_truncated"] and response["stderr_truncated"] and response["ok"]


def test_timeout(tmp_path):
    response = run_request(command_request(["sleep", "30"], tmp_path, env_allowlist=["PATH"], timeout=1)).response
    assert (response["status"], response["timed_out"], response["ok"], response["exit_code"]) == (
        "timeout", True, False, -9)
    assert response["error"] == "command exceeded timeout of 1.0 seconds"
    assert 1000 <= response["duration_ms"] < 20000  # not the command's 30 s


def test_command_that_closes_its_output_and_keeps_running_times_out(tmp_path):
    argv = _python("import os, time; os.close(1); os.close(2); time.sleep(30)")
    response = run_request(command_request(argv, tmp_path, timeout=1)).response
    assert response["status"] == "timeout" and response["exit_code"] == -9
    assert response["stdout_byte_count_complete"] and response["stderr_byte_count_complete"]


def test_background_process_holding_output_makes_a_timeout(tmp_path):
    request = command_request(["sh", "-c", "sleep 30 & echo $! > bg.pid; exit 0"], tmp_path,
                              env_allowlist=["PATH"], timeout=1)
    response = run_request(request).response
    assert response["status"] == "timeout" and response["error"] == "command exceeded timeout of 1.0 seconds"
    assert process_gone(int((tmp_path / "bg.pid").read_text()))


def test_no_deadline_waits_for_the_command(tmp_path):
    response = run_request(command_request(["sleep", "0.3"], tmp_path, env_allowlist=["PATH"], timeout=0)).response
    assert response["status"] == "success" and response["duration_ms"] >= 300


def test_deadline_passing_during_launch_is_an_error_response(runner, tmp_path, monkeypatch):
    pids = []

    def slow_hook(process):
        pids.append(process.pid)
        time.sleep(0.5)

    monkeypatch.setitem(runner, "_after_popen", slow_hook)
    response = runner["run_primitive"](command_request(["sleep", "30"], tmp_path, env_allowlist=["PATH"],
                                                       timeout=0.1))
    assert response["status"] == "error" and response["error"].startswith("TimeoutExpired: ")
    assert pids and process_gone(pids[0])


def test_error_while_reading_kills_the_command(runner, tmp_path, monkeypatch):
    pids = []
    real_spawn = runner["_spawn_process"]

    def spawn(argv, **kwargs):
        process = real_spawn(argv, **kwargs)
        pids.append(process.pid)
        return process

    class BrokenSelector(selectors.DefaultSelector):
        def select(self, timeout=None):
            raise OSError(5, "Input/output error")

    monkeypatch.setitem(runner, "_spawn_process", spawn)
    monkeypatch.setattr(runner["selectors"], "DefaultSelector", BrokenSelector)
    response = runner["run_primitive"](command_request(["sleep", "30"], tmp_path, env_allowlist=["PATH"]))
    monkeypatch.undo()
    assert response["error"] == "OSError: [Errno 5] Input/output error"
    assert process_gone(pids[0])


def test_large_output_is_counted_exactly(tmp_path):
    argv = _python("import os\nfor _ in range(48): os.write(1, b'x' * 65536)")
    response = run_request(command_request(argv, tmp_path, max_output_bytes=1048576)).response
    assert response["stdout_byte_count"] == 48 * 65536
    assert response["stdout_captured_byte_count"] == 1048576 == len(_out(response))
    assert response["stdout_truncated"] and response["stdout_byte_count_complete"]


def test_runner_source_is_set_after_bootstrap(tmp_path):
    # The bootstrap resets the text that the module body cleared; an import
    # of the module leaves it unset.
    import runner_harness

    namespace = runner_harness.load_runner()
    assert namespace["_RUNNER_SOURCE"] == runner_harness.runner_source()
    completed = subprocess.run(
        [sys.executable, "-c", "import vorn_sandbox.primitive_runner as r; print(r._RUNNER_SOURCE)"],
        capture_output=True, text=True,
    )
    if completed.returncode != 0:
        pytest.skip("package not installed")
    assert completed.stdout.strip() == "None"



def test_loading_the_runner_leaves_out_modules_that_few_operations_use():
    # Every primitive compiles and loads the runner afresh, and every write
    # helper loads it once more, so each module the body imports costs every call.
    from runner_harness import RUNNER_PATH

    probe = (
        "import sys\n"
        f"exec(compile(open({str(RUNNER_PATH)!r}).read(), 'runner.py', 'exec'), {{'__name__': 'runner'}})\n"
        "print(sorted(name for name in ('secrets', 'tempfile', 'typing', 'hashlib', 'shutil') if name in sys.modules))\n"
    )
    completed = subprocess.run([sys.executable, "-S", "-c", probe], capture_output=True, text=True, check=True)
    assert completed.stdout.strip() == "[]"

def test_working_directory_descriptor_does_not_leak_into_other_children(runner, tmp_path, monkeypatch):
    # Another thread of the sandbox's interpreter may start a child that keeps
    # every inheritable descriptor while the command is being launched.
    (tmp_path / "work").mkdir()
    real_spawn = runner["_spawn_process"]
    seen = []

    def spawn(argv, **kwargs):
        listing = ("import os\nfor n in os.listdir('/proc/self/fd'):\n    try: print(os.readlink('/proc/self/fd/' + n))"
                   "\n    except OSError: pass")
        seen.append(subprocess.run([sys.executable, "-S", "-c", listing], close_fds=False, capture_output=True,
                                   text=True, check=True).stdout.splitlines())
        return real_spawn(argv, **kwargs)

    monkeypatch.setitem(runner, "_spawn_process", spawn)
    response = runner["run_primitive"](command_request(["true"], tmp_path, cwd_components=["work"],
                                                       env_allowlist=["PATH"]))
    assert response["status"] == "success", response
    assert seen and str(tmp_path / "work") not in seen[0] and str(tmp_path) not in seen[0]


def test_argument_vector_longer_than_one_argument_may_be(tmp_path):
    # 200 KiB in all: more than the kernel allows for a single argument, well
    # within what it allows for a whole vector.
    arguments = ["x" * 1024] * 200
    response = run_request(command_request(["/bin/sh", "-c", 'echo "$#"', "sh", *arguments], tmp_path)).response
    assert response["status"] == "success", response["error"]
    assert _out(response) == b"200\n"


def test_argument_vector_too_long_for_the_command_is_an_error_naming_it(tmp_path):
    response = run_request(command_request(["/bin/echo", "x" * (256 * 1024)], tmp_path)).response
    assert (response["status"], response["exit_code"]) == ("error", 1)
    assert response["error"] == "argument vector too long to start command '/bin/echo'"
    assert not response["timed_out"]
