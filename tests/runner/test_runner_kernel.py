"""System-call tables, kernel records and the Landlock and openat2 calls."""

from __future__ import annotations

import ast
import ctypes
import errno
import json
import os
import subprocess
import sys

import pytest

from runner_harness import descriptors_changed_since, landlock_abi, open_descriptors, requires_confinement

# The kernel's published numbers: include/uapi/asm-generic/unistd.h (used by
# arm64 and riscv) and arch/x86/entry/syscalls/syscall_64.tbl.
KERNEL_SYSCALLS = {
    "aarch64": {"openat2": 437, "landlock_create_ruleset": 444, "landlock_add_rule": 445,
                "landlock_restrict_self": 446, "renameat2": 276},
    "riscv64": {"openat2": 437, "landlock_create_ruleset": 444, "landlock_add_rule": 445,
                "landlock_restrict_self": 446, "renameat2": 276},
    "x86_64": {"openat2": 437, "landlock_create_ruleset": 444, "landlock_add_rule": 445,
               "landlock_restrict_self": 446, "renameat2": 316},
}
ORDER = ("openat2", "landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self", "renameat2")


def _helper_table(runner) -> dict:
    tree = ast.parse(runner["_command_helper_source"](".", ["true"]))
    for node in tree.body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", None) == "_ABI":
            return ast.literal_eval(node.value)
    raise AssertionError("the exec helper has no system-call table")


@pytest.mark.parametrize("machine", sorted(KERNEL_SYSCALLS))
def test_syscall_tables_match_the_kernel(runner, monkeypatch, machine):
    expected = tuple(KERNEL_SYSCALLS[machine][name] for name in ORDER)
    monkeypatch.setattr(runner["platform"], "machine", lambda: machine)
    assert runner["_syscall_numbers"]() == expected
    assert _helper_table(runner)[machine] == expected
    assert list(runner["_SYSCALL_ABI"]) == ["aarch64", "riscv64", "x86_64"]
    assert set(_helper_table(runner)) == set(KERNEL_SYSCALLS)


@pytest.mark.parametrize("machine", ["arm64", "armv7l", "i686", ""])
def test_unknown_machines_are_refused(runner, monkeypatch, machine):
    monkeypatch.setattr(runner["platform"], "machine", lambda: machine)
    with pytest.raises(ValueError, match="^platform cannot safely confine workspace paths$") as caught:
        runner["_syscall_numbers"]()
    assert isinstance(caught.value.__cause__, KeyError)
    with pytest.raises(ValueError, match="^platform cannot safely confine workspace paths$"):
        runner["_open_beneath"](0, ".", os.O_RDONLY)


def test_kernel_records_have_the_kernel_layout(runner):
    how, ruleset, rule = runner["_OpenHow"], runner["_LandlockRulesetAttr"], runner["_LandlockPathBeneath"]
    assert (ctypes.sizeof(how), ctypes.sizeof(ruleset), ctypes.sizeof(rule)) == (24, 16, 16)
    assert (how.flags.offset, how.mode.offset, how.resolve.offset) == (0, 8, 16)
    assert [name for name, _ in ruleset._fields_] == ["handled_access_fs", "handled_access_net"]
    assert ruleset.handled_access_net.offset == 8
    assert rule.parent_fd.offset == 8 and rule._fields_[1][1] is ctypes.c_int


class _FakeLibc:
    """Answers the Landlock calls without touching the kernel."""

    def __init__(self, abi: int):
        self.abi = abi
        self.rulesets: list[tuple[int, int]] = []
        self.rules: list[int] = []
        self.restricted = False
        self.no_new_privs = False

    def syscall(self, number, *args):
        if number == 444 and args == (None, 0, 1):
            return self.abi
        if number == 444:
            attributes = args[0]._obj
            self.rulesets.append((attributes.handled_access_fs, attributes.handled_access_net))
            return os.open("/dev/null", os.O_RDONLY)
        if number == 445:
            self.rules.append(args[2]._obj.allowed_access)
            return 0
        if number == 446:
            self.restricted = True
            return 0
        raise AssertionError(f"unexpected system call {number}")

    def prctl(self, option, *args):
        assert option == 38
        self.no_new_privs = True
        return 0


@pytest.mark.parametrize(("abi", "handled"), [(3, 0x7FFF), (4, 0x7FFF), (5, 0xFFFF), (7, 0xFFFF)])
def test_landlock_ruleset_by_abi(runner, monkeypatch, tmp_path, abi, handled):
    if sys.platform != "linux" or os.uname().machine not in KERNEL_SYSCALLS:
        pytest.skip("Linux only")
    fake = _FakeLibc(abi)
    monkeypatch.setattr(runner["ctypes"], "CDLL", lambda *args, **kwargs: fake)
    before = open_descriptors()
    root_fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        runner["_install_landlock"](root_fd)
        os.fstat(root_fd)
    finally:
        os.close(root_fd)
    assert fake.rulesets == [(handled, 0)]
    # Making character (bit 6) and block (bit 11) devices is handled but granted nowhere.
    assert fake.rules == [handled & ~0x840, 0xD]
    assert fake.no_new_privs and fake.restricted
    assert descriptors_changed_since(before) == set()


@pytest.mark.parametrize("abi", [-1, 1, 2])
def test_landlock_below_abi_3_is_refused_before_anything_changes(runner, monkeypatch, abi):
    if sys.platform != "linux" or os.uname().machine not in KERNEL_SYSCALLS:
        pytest.skip("Linux only")
    fake = _FakeLibc(abi)
    monkeypatch.setattr(runner["ctypes"], "CDLL", lambda *args, **kwargs: fake)
    with pytest.raises(ValueError, match=r"^platform cannot safely confine workspace writes \(Landlock ABI 3"):
        runner["_install_landlock"](0)
    assert not (fake.rulesets or fake.no_new_privs or fake.restricted)


def test_non_linux_platforms_are_refused(runner, monkeypatch):
    monkeypatch.setattr(runner["sys"], "platform", "darwin")
    with pytest.raises(ValueError, match="^openat2/platform-policy requirement unavailable$"):
        runner["_open_beneath"](0, ".", os.O_RDONLY)
    for operation in ("_landlock_abi", "_install_landlock"):
        arguments = () if operation == "_landlock_abi" else (0,)
        with pytest.raises(ValueError, match="^platform cannot safely confine workspace writes$"):
            runner[operation](*arguments)


@requires_confinement
def test_landlock_abi_probe_leaves_the_process_unrestricted(runner, tmp_path):
    assert runner["_landlock_abi"]() == landlock_abi() >= 3
    (tmp_path / "still-writable").write_text("yes")


@requires_confinement
def test_open_beneath_refuses_links_and_escapes(runner, tmp_path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "dir")
    root_fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fd = runner["_open_beneath"](root_fd, "dir", os.O_RDONLY | os.O_DIRECTORY)
        os.close(fd)
        for path, error_number in [("link", errno.ELOOP), ("link/x", errno.ELOOP), ("../x", errno.EXDEV),
                                   ("/etc", errno.EXDEV), ("dir/../..", errno.EXDEV)]:
            with pytest.raises(OSError) as caught:
                runner["_open_beneath"](root_fd, path, os.O_RDONLY)
            assert type(caught.value) is not ValueError and caught.value.errno == error_number, path
        with pytest.raises(ValueError, match="^openat2/platform-policy requirement unavailable$"):
            runner["_open_beneath"](root_fd, "dir", os.O_RDONLY, 0o600)
    finally:
        os.close(root_fd)


_FAKE_PROBE = """
import ctypes, os, sys
real = ctypes.CDLL(None, use_errno=True)
probe_answer = __ABI__
class Libc:
    def __getattr__(self, name):
        return getattr(real, name)
    def syscall(self, number, *args):
        if number == 444 and args == (None, 0, 1) and probe_answer is not None:
            return probe_answer
        if number == 444 and args and hasattr(args[0], "_obj"):
            print("handled", hex(args[0]._obj.handled_access_fs), args[0]._obj.handled_access_net, file=sys.stderr)
        return real.syscall(number, *args)
ctypes.CDLL = lambda *args, **kwargs: Libc()
os.environ["VORN_SANDBOX_ROOT_FD"] = str(os.open(__ROOT__, os.O_RDONLY | os.O_DIRECTORY))
read_end, write_end = os.pipe()
os.write(write_end, __ENV__.encode())
os.close(write_end)
os.environ["VORN_SANDBOX_ENV_FD"] = str(read_end)
exec(compile(__HELPER__, "helper", "exec"), {"__name__": "__main__"})
"""


def _run_helper(runner, root, argv, *, abi=None, env="{}"):
    program = (_FAKE_PROBE.replace("__ABI__", repr(abi)).replace("__ROOT__", repr(str(root)))
               .replace("__ENV__", repr(env)).replace("__HELPER__", repr(runner["_command_helper_source"](".", argv))))
    return subprocess.run([sys.executable, "-S", "-c", program], capture_output=True, text=True, timeout=30)


@requires_confinement
@pytest.mark.parametrize(("abi", "handled"), [(1, None), (2, None), (4, "0x7fff"), (None, "0xffff")])
def test_exec_helper_policy_by_abi(runner, tmp_path, abi, handled):
    if handled == "0xffff" and landlock_abi() < 5:
        pytest.skip("kernel below Landlock ABI 5")
    completed = _run_helper(runner, tmp_path, ["/bin/sh", "-c", ": > ran"], abi=abi)
    if handled is None:
        assert completed.returncode == 1
        assert "RuntimeError: platform cannot safely confine workspace writes (Landlock ABI 3 required)" in (
            completed.stderr)
        assert not (tmp_path / "ran").exists()
    else:
        assert completed.returncode == 0, completed.stderr
        assert f"handled {handled} 0" in completed.stderr
        assert (tmp_path / "ran").exists()


@requires_confinement
@pytest.mark.parametrize("env", ["[]", '{"A": 1}'])
def test_exec_helper_refuses_a_bad_target_environment(runner, tmp_path, env):
    completed = _run_helper(runner, tmp_path, ["/bin/sh", "-c", ": > ran"], env=env)
    assert completed.returncode == 1
    assert "RuntimeError: target environment must be a string mapping" in completed.stderr
    assert not (tmp_path / "ran").exists()


@requires_confinement
def test_exec_helper_runs_relative_programs_in_the_confined_directory(runner, tmp_path):
    script = tmp_path / "tool.sh"
    script.write_text("#!/bin/sh\necho \"$@\" > out.txt\n")
    script.chmod(0o755)
    completed = _run_helper(runner, tmp_path, ["./tool.sh", "a b"], env=json.dumps({}))
    assert completed.returncode == 0, completed.stderr
    assert (tmp_path / "out.txt").read_text() == "a b\n"


@requires_confinement
@pytest.mark.parametrize(
    ("path", "flags", "mode"),
    [(".", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, 0), ("new.txt", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)],
)
def test_open_beneath_descriptors_are_not_inherited_by_children(runner, tmp_path, path, flags, mode):
    # The runner lives in the provider's interpreter, whose other threads may
    # start children at any moment: its descriptors must not leak into them.
    root_fd = os.open(tmp_path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fd = runner["_open_beneath"](root_fd, path, flags, mode)
        try:
            assert os.get_inheritable(fd) is False
        finally:
            os.close(fd)
    finally:
        os.close(root_fd)
