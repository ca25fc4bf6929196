"""How sandboxes are isolated: private mounts as root, a user namespace
otherwise (or when asked for), or nothing, with the reason said."""

import asyncio
import os
import shutil
import subprocess
import sys

import pytest
from e2b_code_interpreter import AsyncSandbox
from e2b_local import LocalE2BService

# Run under `unshare --user --map-root-user --mount`: a tmpfs mounted there
# with nosuid, nodev, noexec and noatime, then bound read-only from a user
# namespace nested in it, where the kernel locks those flags.
_LOCKED_FLAGS = r"""
import os, sys, tempfile
from e2b_local import jail
base = tempfile.mkdtemp()
source = os.path.join(base, "source")
os.mkdir(source)
if os.system(f"mount -t tmpfs -o nosuid,nodev,noexec,noatime tmpfs {source}") != 0:
    sys.exit(3)
open(os.path.join(source, "file"), "w").close()
os.unshare(jail.CLONE_NEWUSER | jail.CLONE_NEWNS)
jail._mount(None, b"/", jail.MS_REC | jail.MS_PRIVATE, "make / private")
target = os.path.join(base, "root") + source
jail._bind(source, target, read_only=True)
flags = os.statvfs(target).f_flag
assert flags & os.ST_RDONLY and flags & os.ST_NOSUID and flags & os.ST_NOEXEC, flags
try:
    open(os.path.join(target, "file"), "w")
except OSError as error:
    print(error.strerror)
"""


def test_a_read_only_bind_in_a_user_namespace_keeps_the_flags_the_kernel_locked():
    if shutil.which("unshare") is None:
        pytest.skip("no unshare program here")
    done = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", sys.executable, "-c", _LOCKED_FLAGS],
                          capture_output=True, text=True, timeout=120)
    if done.returncode == 3 or "unshare failed" in done.stderr:
        pytest.skip(f"this machine refuses the namespaces the test needs: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "Read-only file system"


async def test_a_user_namespace_gives_a_tree_of_its_own(monkeypatch, tmp_path):
    monkeypatch.setenv("E2B_LOCAL_ISOLATION", "userns")
    service = LocalE2BService(state_dir=tmp_path)
    if not service.isolate:
        pytest.skip(f"sandboxes share the host's tree: {service.isolation_reason}")
    assert (service.isolation, service.isolation_reason) == ("userns", None)
    await asyncio.to_thread(service.start)
    try:
        sandbox = await AsyncSandbox.create(timeout=120, **service.sdk_kwargs)
        try:
            await sandbox.files.write("/files/upload.txt", b"uploaded")
            seen = await sandbox.commands.run(
                "id -u; pwd; cat /files/upload.txt; echo; touch /usr/x 2>/dev/null || echo read-only;"
                " echo made > /tmp/made; readlink /proc/self/ns/user", timeout=30)
            uid, cwd, upload, usr, namespace = seen.stdout.splitlines()
            assert (uid, cwd, upload, usr) == ("0", "/home/user", "uploaded", "read-only")
            assert namespace != os.readlink("/proc/self/ns/user")
            # Root inside is the service's own user outside.
            made = tmp_path / "sandboxes" / sandbox.sandbox_id / "tmp/made"
            assert made.read_text() == "made\n" and made.stat().st_uid == os.getuid()
            assert not os.path.exists("/files/upload.txt")
            code = await sandbox.run_code("import os; os.getcwd(), open('/tmp/made').read()", timeout=60)
            assert code.results[0].text == "('/home/user', 'made\\n')"
        finally:
            await sandbox.kill()
    finally:
        await asyncio.to_thread(service.stop)


def test_without_isolation_the_command_line_says_why_once(monkeypatch, tmp_path):
    monkeypatch.setenv("E2B_LOCAL_ISOLATION", "none")
    process = subprocess.Popen([sys.executable, "-m", "e2b_local", "--lifeline", "--state-dir", str(tmp_path)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().startswith("export ")
    finally:
        # The end of its input is the end of the service.
        process.stdin.close()
        process.wait(60)
    errors = process.stderr.read()
    assert process.returncode == 0
    assert errors.count("sandboxes share the host's tree") == 1
    assert "E2B_LOCAL_ISOLATION=none" in errors


def test_a_refused_user_namespace_is_the_reason_given(tmp_path):
    if shutil.which("unshare") is None:
        pytest.skip("no unshare program here")
    # Inside a user namespace of its own the test may forbid further ones.
    script = ('echo 0 > /proc/sys/user/max_user_namespaces || exit 3; '
              'exec "$0" -m e2b_local --lifeline --state-dir "$1" < /dev/null')
    done = subprocess.run(["unshare", "--user", "--map-root-user", "sh", "-c", script, sys.executable, str(tmp_path)],
                          capture_output=True, text=True, timeout=120,
                          env={**os.environ, "E2B_LOCAL_ISOLATION": "userns"})
    if done.returncode == 3 or "unshare failed" in done.stderr:
        pytest.skip(f"this machine refuses the namespaces the test needs: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    assert "sandboxes share the host's tree (user namespaces refused: unshare(CLONE_NEWUSER): " in done.stderr
