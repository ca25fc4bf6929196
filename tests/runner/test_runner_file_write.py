"""The file write, its directory walks and atomic replace, and the write helper process."""

from __future__ import annotations

import collections
import json
import os
import signal
import stat

import pytest

from runner_harness import (
    RUNNER_PATH,
    descriptors_changed_since,
    file_write_request,
    open_descriptors,
    process_gone,
    requires_confinement,
    run_request,
    runner_source,
)

pytestmark = requires_confinement


@pytest.fixture
def root_fd(tmp_path):
    fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    yield fd
    os.fstat(fd)  # the write never closes the caller's descriptor
    os.close(fd)


def _write(runner, root_fd, path, data, *, root, **options):
    return runner["_run_file_write"](file_write_request(path, data, root, **options), root_fd_override=root_fd)


def _leftovers(directory):
    return [name for name in os.listdir(directory) if name.startswith(".") and name.endswith(".tmp")]


def test_end_to_end_write_and_replace(tmp_path):
    response = run_request(file_write_request("./dir//file.txt", b"first", tmp_path)).response
    assert list(response) == ["ok", "status", "path", "bytes_written", "overwritten", "duration_ms", "error"]
    assert (response["ok"], response["path"], response["bytes_written"], response["overwritten"]) == (
        True, "dir/file.txt", 5, False)
    assert stat.S_IMODE((tmp_path / "dir").stat().st_mode) == 0o700 & ~_umask()
    assert stat.S_IMODE((tmp_path / "dir" / "file.txt").stat().st_mode) == 0o600 & ~_umask()
    (tmp_path / "dir" / "file.txt").chmod(0o644)
    response = run_request(file_write_request("dir/file.txt", b"second", tmp_path, overwrite=True)).response
    assert response["overwritten"] is True and (tmp_path / "dir" / "file.txt").read_bytes() == b"second"
    assert stat.S_IMODE((tmp_path / "dir" / "file.txt").stat().st_mode) == 0o644
    assert _leftovers(tmp_path / "dir") == []


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_refused_write_reply_passes_through(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"keep")
    response = run_request(file_write_request("a.txt", b"new", tmp_path)).response
    assert response == {"ok": False, "status": "error", "error": "FileExistsError: destination already exists: a.txt"}
    assert (tmp_path / "a.txt").read_bytes() == b"keep"


def test_size_limit_is_checked_on_the_decoded_data(runner, root_fd, tmp_path):
    assert _write(runner, root_fd, "five.txt", b"12345", root=tmp_path, max_bytes=5)["bytes_written"] == 5
    with pytest.raises(ValueError, match="^data exceeds the configured write limit of 5 bytes$"):
        _write(runner, root_fd, "six.txt", b"123456", root=tmp_path, max_bytes=5)
    assert not (tmp_path / "six.txt").exists()
    assert _write(runner, root_fd, "empty.txt", b"", root=tmp_path)["bytes_written"] == 0
    assert (tmp_path / "empty.txt").read_bytes() == b""


@pytest.mark.parametrize("encoded", ["aGVs bG8=", "aGVsbG8=\n", "aGVsbG8*", "aGVsbG8", "é"])
def test_data_must_be_strict_base64(runner, root_fd, tmp_path, encoded):
    request = file_write_request("x.txt", b"", tmp_path) | {"data_b64": encoded}
    with pytest.raises(ValueError):
        runner["_run_file_write"](request, root_fd_override=root_fd)
    assert not (tmp_path / "x.txt").exists()


def test_data_must_be_text(runner, root_fd, tmp_path):
    request = file_write_request("x.txt", b"", tmp_path) | {"data_b64": None}
    with pytest.raises(ValueError, match="^data must be base64 text$"):
        runner["_run_file_write"](request, root_fd_override=root_fd)


def test_destination_kinds(runner, root_fd, tmp_path):
    (tmp_path / "dir").mkdir()
    with pytest.raises(IsADirectoryError, match="^destination is a directory: dir$"):
        _write(runner, root_fd, "dir", b"x", root=tmp_path, overwrite=True)
    os.mkfifo(tmp_path / "fifo", 0o640)
    assert _write(runner, root_fd, "fifo", b"x", root=tmp_path, overwrite=True)["overwritten"] is True
    replaced = (tmp_path / "fifo").stat()
    assert stat.S_ISREG(replaced.st_mode) and stat.S_IMODE(replaced.st_mode) == 0o640


def test_missing_overwrite_key_fails_when_first_consulted(runner, root_fd, tmp_path):
    request = file_write_request("new.txt", b"x", tmp_path)
    del request["overwrite"]
    with pytest.raises(KeyError):
        runner["_run_file_write"](request, root_fd_override=root_fd)
    assert not (tmp_path / "new.txt").exists()


def test_failed_new_write_removes_the_file(runner, root_fd, tmp_path, monkeypatch):
    def broken_fsync(fd):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(runner["os"], "fsync", broken_fsync)
    with pytest.raises(OSError, match="Input/output error"):
        _write(runner, root_fd, "new.txt", b"x", root=tmp_path, overwrite=True)
    monkeypatch.undo()
    assert os.listdir(tmp_path) == []


def test_failed_replacement_keeps_the_old_file(runner, root_fd, tmp_path, monkeypatch):
    (tmp_path / "old.txt").write_bytes(b"old")

    def broken_fsync(fd):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(runner["os"], "fsync", broken_fsync)
    with pytest.raises(OSError):
        _write(runner, root_fd, "old.txt", b"new", root=tmp_path, overwrite=True)
    monkeypatch.undo()
    assert os.listdir(tmp_path) == ["old.txt"] and (tmp_path / "old.txt").read_bytes() == b"old"


def test_name_too_long_for_a_temporary_can_be_created_but_not_replaced(runner, root_fd, tmp_path):
    name = "n" * 240
    _write(runner, root_fd, name, b"x", root=tmp_path)
    with pytest.raises(OSError) as caught:
        _write(runner, root_fd, name, b"y", root=tmp_path, overwrite=True)
    assert caught.value.errno == 36
    assert (tmp_path / name).read_bytes() == b"x"


def test_file_created_by_someone_else_meanwhile_is_replaced_atomically_not_clobbered(runner, root_fd, tmp_path,
                                                                                     monkeypatch):
    real_inspect = runner["_inspect_destination"]

    def racing_inspect(parent_fd, name, params):
        found = real_inspect(parent_fd, name, params)
        if found is None:
            (tmp_path / "theirs.txt").write_bytes(b"their content")
            (tmp_path / "theirs.txt").chmod(0o640)
        return found

    monkeypatch.setitem(runner, "_inspect_destination", racing_inspect)
    response = _write(runner, root_fd, "theirs.txt", b"ours", root=tmp_path, overwrite=True)
    assert response["overwritten"] is True
    assert (tmp_path / "theirs.txt").read_bytes() == b"ours"
    assert stat.S_IMODE((tmp_path / "theirs.txt").stat().st_mode) == 0o640


def test_failed_write_never_removes_a_file_someone_else_created(runner, root_fd, tmp_path, monkeypatch):
    real_inspect = runner["_inspect_destination"]

    def racing_inspect(parent_fd, name, params):
        found = real_inspect(parent_fd, name, params)
        if found is None:
            (tmp_path / "theirs.txt").write_bytes(b"their content")
        return found

    def broken_fsync(fd):
        raise OSError(5, "Input/output error")

    monkeypatch.setitem(runner, "_inspect_destination", racing_inspect)
    monkeypatch.setattr(runner["os"], "fsync", broken_fsync)
    with pytest.raises(OSError):
        _write(runner, root_fd, "theirs.txt", b"ours", root=tmp_path, overwrite=True)
    monkeypatch.undo()
    assert os.listdir(tmp_path) == ["theirs.txt"]
    assert (tmp_path / "theirs.txt").read_bytes() == b"their content"


def test_hard_link_made_after_opening_is_refused(runner, root_fd, tmp_path, monkeypatch):
    (tmp_path / "file.txt").write_bytes(b"old")
    real_open = runner["_open_beneath"]

    def linking_open(fd, path, flags, mode=0):
        opened = real_open(fd, path, flags, mode)
        os.link(tmp_path / path, tmp_path / "extra-link")
        return opened

    monkeypatch.setitem(runner, "_open_beneath", linking_open)
    with pytest.raises(ValueError, match="^refusing to write a multi-linked destination$"):
        _write(runner, root_fd, "file.txt", b"new", root=tmp_path, overwrite=True)
    assert (tmp_path / "file.txt").read_bytes() == b"old"


def test_replace_reuses_the_temporary_inode_and_reports_a_missing_one(runner, root_fd, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "dest").write_bytes(b"old")
    (tmp_path / "sub" / ".tmp").write_bytes(b"new")
    inode = (tmp_path / "sub" / ".tmp").stat().st_ino
    with open(tmp_path / "sub" / "dest", "rb") as reader:
        runner["_replace_beneath"](root_fd, ("sub", "dest"), ".tmp")
        assert reader.read() == b"old"
    assert (tmp_path / "sub" / "dest").stat().st_ino == inode and not (tmp_path / "sub" / ".tmp").exists()
    with pytest.raises(FileNotFoundError, match=r"'dest'$"):
        runner["_replace_beneath"](root_fd, ("sub", "dest"), ".gone")
    assert (tmp_path / "sub" / "dest").read_bytes() == b"new"


def test_replace_hook_sees_the_parent_descriptor(runner, root_fd, tmp_path, monkeypatch):
    (tmp_path / "a").write_bytes(b"old")
    (tmp_path / ".t").write_bytes(b"new")
    seen = []
    monkeypatch.setitem(runner, "_before_replace", lambda fd: seen.append(os.path.samestat(os.fstat(fd),
                                                                                          os.stat(tmp_path))))
    runner["_replace_beneath"](root_fd, ("a",), ".t")
    assert seen == [True] and (tmp_path / "a").read_bytes() == b"new"


def test_walks(runner, root_fd, tmp_path):
    before = open_descriptors()
    fd = runner["_open_directory_fd_from_root_fd"](root_fd, ("x", "y"), create_parents=True)
    assert os.path.samestat(os.fstat(fd), os.stat(tmp_path / "x" / "y"))
    os.close(fd)
    assert stat.S_IMODE((tmp_path / "x").stat().st_mode) == 0o700 & ~_umask()
    with pytest.raises(FileNotFoundError):
        runner["_open_directory_fd"](tmp_path, ("missing", "y"), create_parents=False)
    (tmp_path / "file").write_text("x")
    (tmp_path / "link").symlink_to(tmp_path / "x")
    for components in (("link",), ("link", "y"), ("file", "y")):
        with pytest.raises(ValueError, match="^symbolic links are not permitted in a workspace path$"):
            runner["_open_directory_fd_from_root_fd"](root_fd, components, create_parents=True)
    with pytest.raises(ValueError, match="^cannot open workspace root safely: "):
        runner["_open_directory_fd"](tmp_path / "link", (), create_parents=False)
    assert descriptors_changed_since(before) == set()


def test_direct_entry_point_writes_without_a_descriptor(runner, tmp_path):
    response = runner["run_file_write"](file_write_request("d/f.txt", b"direct", tmp_path))
    assert response["ok"] and (tmp_path / "d" / "f.txt").read_bytes() == b"direct"


def test_restricted_write_reads_its_own_file_when_no_source_was_set(runner, tmp_path):
    runner["_RUNNER_SOURCE"] = None
    runner["__file__"] = str(RUNNER_PATH)
    before = open_descriptors()
    response = runner["_run_restricted_file_write"](file_write_request("f.txt", b"own file", tmp_path))
    assert response["ok"] and (tmp_path / "f.txt").read_bytes() == b"own file"
    assert descriptors_changed_since(before) == set()


def test_workspace_root_checks(runner, tmp_path, monkeypatch):
    (tmp_path / "file").write_text("x")
    response = runner["run_primitive"](file_write_request("f.txt", b"x", tmp_path / "file"))
    assert response["error"] == f"ValueError: workspace root is not a directory: {tmp_path / 'file'}"
    monkeypatch.setenv("HOME", str(tmp_path))
    assert runner["run_primitive"](file_write_request("home.txt", b"x", "~"))["ok"]
    assert (tmp_path / "home.txt").read_bytes() == b"x"


def _pid_writer(tmp_path) -> str:
    pid_file = str(tmp_path / "helper.pid")
    return f"import os, time; open({pid_file!r}, 'w').write(str(os.getpid())); time.sleep(60)"


def _with_helper(runner, program):
    runner["_file_write_helper_source"] = lambda: program


@pytest.mark.parametrize(
    ("program", "error"),
    [
        ("print('not json')", "ValueError: file-write helper returned malformed JSON"),
        ("pass", "ValueError: file-write helper returned malformed JSON"),
        ("print('[1]')", "ValueError: file-write helper response must be an object"),
        ("import os; os.kill(os.getpid(), 9)", "RuntimeError: file-write helper exited with code -9"),
        ("import sys; sys.exit('helper broke')", "RuntimeError: helper broke"),
        ("print(' {\"ok\": true, \"x\": 1} ')", None),
    ],
)
def test_helper_outcomes(runner, tmp_path, program, error):
    _with_helper(runner, program)
    before = open_descriptors()
    response = runner["run_primitive"](file_write_request("f.txt", b"x", tmp_path))
    if error is None:
        assert response == {"ok": True, "x": 1}
    else:
        assert response == {"ok": False, "status": "error", "error": error}
    assert descriptors_changed_since(before) == set()


def test_stuck_helper_is_killed_at_its_deadline(runner, tmp_path):
    _with_helper(runner, _pid_writer(tmp_path))
    runner["_DEFAULT_TIMEOUT"] = 0.5
    response = runner["run_primitive"](file_write_request("f.txt", b"x", tmp_path))
    assert response == {"ok": False, "status": "error", "error": "TimeoutError: file-write helper exceeded its deadline"}
    assert process_gone(int((tmp_path / "helper.pid").read_text()))


def test_failed_exchange_kills_the_helper_group(runner, tmp_path, monkeypatch):
    _with_helper(runner, _pid_writer(tmp_path))
    real_spawn = runner["_spawn_process"]
    processes = []

    def spawn(argv, **kwargs):
        process = real_spawn(argv, **kwargs)
        processes.append(process)

        def broken_communicate(*args, **kwargs):
            raise BrokenPipeError(32, "Broken pipe")

        process.communicate = broken_communicate
        return process

    monkeypatch.setitem(runner, "_spawn_process", spawn)
    response = runner["run_primitive"](file_write_request("f.txt", b"x", tmp_path))
    assert response == {"ok": False, "status": "error", "error": "BrokenPipeError: [Errno 32] Broken pipe"}
    assert processes[0].returncode == -signal.SIGKILL
    assert processes[0].stdin.closed and processes[0].stdout.closed


def test_killed_helper_leaves_no_temporary(runner, tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "f.txt").write_bytes(b"old")
    runner["_RUNNER_SOURCE"] = runner_source() + (
        "\n\ndef _before_replace(parent_fd):\n    import time\n    time.sleep(60)\n"
    )
    runner["_DEFAULT_TIMEOUT"] = 1.0
    response = runner["run_primitive"](file_write_request("d/f.txt", b"new", tmp_path, overwrite=True))
    assert response["error"] == "TimeoutError: file-write helper exceeded its deadline"
    assert os.listdir(tmp_path / "d") == ["f.txt"] and (tmp_path / "d" / "f.txt").read_bytes() == b"old"


def test_helper_subprocess_gets_only_descriptor_variables(runner, tmp_path):
    _with_helper(runner, "import os, json; print(json.dumps({k: v for k, v in os.environ.items() if k != 'LC_CTYPE'}))")
    response = runner["run_primitive"](file_write_request("f.txt", b"x", tmp_path))
    assert set(response) == {"VORN_SANDBOX_ROOT_FD", "VORN_SANDBOX_SOURCE_FD"}



@pytest.mark.parametrize(
    "request_value",
    [
        file_write_request("a/b.txt", os.urandom(3000), "/w", overwrite=True),
        {},
        {"text": 'quote " backslash \\ slash / tab \t nul \0 unit \x1f del \x7f'},
        {"text": "é ☃ \U0001F600 \ud800", "plain": "printable ~ and space"},
        {"n": [1, 2.5, float("nan"), None, True], "nested": {"k": "v\n"}, "": ""},
        {1: "integer key", "x": "y"},
        collections.OrderedDict(a="b"),
    ],
)
def test_helper_input_is_the_json_text_of_the_request(runner, request_value):
    assert runner["_json_request_bytes"](request_value) == json.dumps(request_value).encode("utf-8")

def test_large_write_through_the_bootstrap(tmp_path):
    data = os.urandom(3 * 1024 * 1024 + 1)
    response = run_request(file_write_request("big.bin", data, tmp_path, max_bytes=len(data))).response
    assert response["bytes_written"] == len(data) and (tmp_path / "big.bin").read_bytes() == data


# Appended to the runner text that the helper executes: every file
# synchronisation hangs, so the helper is killed while it still holds the file
# it is writing open.
_HANG_IN_FSYNC = "\n\nimport time as _time\nos.fsync = lambda fd: _time.sleep(60)\n"


@pytest.mark.parametrize("existing", [None, b"old"])
def test_helper_killed_mid_write_leaves_only_what_was_there(runner, tmp_path, existing):
    (tmp_path / "d").mkdir()
    if existing is not None:
        (tmp_path / "d" / "f.txt").write_bytes(existing)
    runner["_RUNNER_SOURCE"] = runner_source() + _HANG_IN_FSYNC
    runner["_DEFAULT_TIMEOUT"] = 1.0
    response = runner["run_primitive"](file_write_request("d/f.txt", b"new", tmp_path, overwrite=True))
    assert response["error"] == "TimeoutError: file-write helper exceeded its deadline"
    if existing is None:
        assert os.listdir(tmp_path / "d") == []
    else:
        assert os.listdir(tmp_path / "d") == ["f.txt"] and (tmp_path / "d" / "f.txt").read_bytes() == existing


def test_helper_killed_after_completing_a_new_file_keeps_it(runner, tmp_path):
    # Stuck only in the final directory synchronisation: the file is whole
    # and closed, and a closed file is no proof of what the helper created.
    runner["_RUNNER_SOURCE"] = runner_source() + (
        "\n\nimport time as _time\n_file_sync = os.fsync\n"
        "os.fsync = lambda fd: _time.sleep(60) if stat.S_ISDIR(os.fstat(fd).st_mode) else _file_sync(fd)\n"
    )
    runner["_DEFAULT_TIMEOUT"] = 1.0
    response = runner["run_primitive"](file_write_request("f.txt", b"whole", tmp_path))
    assert response["error"] == "TimeoutError: file-write helper exceeded its deadline"
    assert (tmp_path / "f.txt").read_bytes() == b"whole"


# Appended to the runner text that the helper executes: the helper writes half
# of the data and is then killed from outside, as the OOM killer or a signal
# from a background command would, long before any deadline of the runner.
_KILLED_HALFWAY = '''
class _HalfThenKilled:
    def __init__(self, stream):
        self.stream = stream
    def __enter__(self):
        return self
    def __exit__(self, *exc_info):
        self.stream.close()
    def write(self, data):
        self.stream.write(data[: len(data) // 2])
        self.stream.flush()
        os.kill(os.getpid(), signal.SIGKILL)
_real_fdopen = os.fdopen
def _fdopen(fd, mode="r", *args, **kwargs):
    stream = _real_fdopen(fd, mode, *args, **kwargs)
    return _HalfThenKilled(stream) if mode == "wb" else stream
os.fdopen = _fdopen
'''


def test_helper_killed_from_outside_mid_write_leaves_no_new_file(runner, tmp_path):
    (tmp_path / "d").mkdir()
    runner["_RUNNER_SOURCE"] = runner_source() + _KILLED_HALFWAY
    response = runner["run_primitive"](file_write_request("d/f.bin", os.urandom(4 << 20), tmp_path))
    assert response["error"] == "RuntimeError: file-write helper exited with code -9"
    assert os.listdir(tmp_path / "d") == []


def test_new_file_never_replaces_a_name_that_appears_meanwhile(runner, root_fd, tmp_path, monkeypatch):
    # Someone else creates the name after the inspection found it free and
    # before this write publishes its file: theirs stays, ours goes.
    monkeypatch.setitem(runner, "_before_replace",
                        lambda parent_fd: (tmp_path / "theirs.txt").write_bytes(b"their content"))
    with pytest.raises(FileExistsError):
        _write(runner, root_fd, "theirs.txt", b"ours", root=tmp_path)
    assert os.listdir(tmp_path) == ["theirs.txt"]
    assert (tmp_path / "theirs.txt").read_bytes() == b"their content"
