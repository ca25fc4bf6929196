"""Demo: one E2B sandbox through vorn_sandbox, from template to teardown.

    python examples/demo.py          # starts the local E2B service and runs against it
    python examples/demo.py --real   # runs against the E2B service named by E2B_API_KEY (and E2B_DOMAIN)

The steps below are the same in both cases: nothing in them points at the
local service. Locally, the service's environment lines (E2B_API_URL,
E2B_SANDBOX_URL, E2B_API_KEY) do that, as they would for any E2B SDK program.
"""

from __future__ import annotations

import asyncio
import io
import os
import sys
import time
import zipfile

from e2b_local.isolation import choose_isolation, isolation_setting
from e2b_local.process import serving
from vorn_sandbox import ExecutionStatus
from vorn_sandbox.code_interpreter.e2b import E2BSandbox
from vorn_sandbox.models import SandboxFile
from vorn_sandbox.template.e2b import E2BTemplateBuilder
from vorn_sandbox.utils import get_install_code

WHEEL_NAME = "vorn_demo_pkg-0.1-py3-none-any.whl"


class StepFailed(Exception):
    """A step did not do what it should: the demo stops and says which."""


def step(text: str) -> None:
    print(f"\n== {text}", flush=True)


def expect(condition: bool, failure: str) -> None:
    if not condition:
        raise StepFailed(failure)


def tiny_wheel() -> bytes:
    """A pure-Python wheel made in memory: installing it needs no package index."""
    buffer = io.BytesIO()
    dist_info = "vorn_demo_pkg-0.1.dist-info"
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("vorn_demo_pkg/__init__.py", "def greet(name):\n    return f'hello, {name}, from a local wheel'\n")
        archive.writestr(f"{dist_info}/METADATA", "Metadata-Version: 2.1\nName: vorn_demo_pkg\nVersion: 0.1\n")
        archive.writestr(f"{dist_info}/WHEEL", "Wheel-Version: 1.0\nGenerator: demo\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        archive.writestr(f"{dist_info}/RECORD", "")
    return buffer.getvalue()


async def run_demo(api_key: str) -> None:
    step("ensure the shared default template (built on first use)")
    alias = await asyncio.to_thread(E2BTemplateBuilder(api_key=api_key).ensure_default)
    print("template:", alias or "(the service's default)")

    step("create an E2B sandbox")
    # Extra keywords go to the SDK's create: here, sandbox environment variables
    # that keep pip away from any package index.
    sandbox = await E2BSandbox.create(api_key, template=alias, sandbox_timeout=300,
                                      envs={"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"})
    print("sandbox id:", sandbox.sandbox_id)
    try:
        step("install a package from a local wheel (no package index)")
        wheel = SandboxFile(filename=WHEEL_NAME, data=tiny_wheel())
        # The same install program that `additional_packages` runs at creation.
        install = get_install_code("python", [f"/files/{WHEEL_NAME}"])
        installed = await sandbox.execute_code(install, timeout=300, files=[wheel])
        print("install:", installed.status.value, installed.error or "")
        expect(installed.status is ExecutionStatus.SUCCESS, f"the install failed: {installed.error or installed.stderr}")
        greeting = await sandbox.execute_code("import vorn_demo_pkg\nprint(vorn_demo_pkg.greet('demo'))")
        print("import:", greeting.stdout.strip())
        expect("hello, demo" in greeting.stdout, f"the installed package did not import: {greeting.error}")

        step("run code with streamed output")
        code = "import time\nfor i in range(3):\n    print(f'tick {i}', flush=True)\n    time.sleep(0.3)\nanswer = 6 * 7\nanswer"
        result = await sandbox.execute_code(code, on_stdout=lambda line: print("  stdout>", line, flush=True))
        print(f"status: {result.status.value}, duration: {result.duration_ms} ms")
        expect(result.status is ExecutionStatus.SUCCESS, f"the code failed: {result.error}")
        again = await sandbox.execute_code("print('state kept:', answer)")
        print(again.stdout.strip())
        expect(again.stdout.strip() == "state kept: 42", f"the kernel did not keep its state: {again.error}")

        step("run a shell command")
        command = await sandbox.execute_command("echo \"$GREETING from $(uname -s)\"; ls /files", env={"GREETING": "hi"})
        print(f"status: {command.status.value}\n{command.stdout.rstrip()}")
        expect(command.status is ExecutionStatus.SUCCESS, f"the command failed: {command.stderr.strip()}")

        step("upload a file, transform it in the sandbox, download the result")
        data = SandboxFile(filename="numbers.txt", data=b"3\n1\n2\n")
        sorting = await sandbox.execute_code(
            "nums = sorted(int(x) for x in open('/files/numbers.txt'))\n"
            "open('/files/sorted.txt', 'w').write('\\n'.join(map(str, nums)) + '\\n')",
            files=[data],
        )
        expect(sorting.status is ExecutionStatus.SUCCESS, f"the upload or the transform failed: {sorting.error}")
        downloaded = await sandbox.download_file("/files/sorted.txt")
        print("downloaded:", downloaded)
        expect(downloaded == b"1\n2\n3\n", "the download did not bring the sorted file back")

        step("renew the lease")
        await sandbox.set_timeout(600)
        print("lease renewed to 600 s")
    finally:
        step("terminate")
        await sandbox.terminate()
        print("terminated; sandbox id now:", sandbox.sandbox_id)



def main() -> int:
    try:
        if "--real" in sys.argv[1:]:
            asyncio.run(run_demo(os.environ["E2B_API_KEY"]))
        else:
            isolation = choose_isolation(isolation_setting())
            if not isolation.isolate:
                print("demo stopped: the local E2B service cannot give sandboxes a file tree of their own here\n"
                      f"  ({isolation.reason}),\n"
                      "  so paths such as /home/user and /files would be this machine's own.\n"
                      "  Run it as root, or let this user create user namespaces (for example\n"
                      "  `sysctl -w user.max_user_namespaces=15000`, and on Ubuntu\n"
                      "  `sysctl -w kernel.apparmor_restrict_unprivileged_userns=0`).", file=sys.stderr)
                return 2
            with serving() as env:
                print("local E2B service at", env["E2B_API_URL"])
                asyncio.run(run_demo(env["E2B_API_KEY"]))
            # The SDK's HTTP client runs threads of its own that notice the closed
            # connections; they must do so while this interpreter is alive, since a
            # thread entering it during shutdown aborts the process.
            time.sleep(0.5)
    except StepFailed as failure:
        print(f"\ndemo failed: {failure}", file=sys.stderr)
        return 1
    print("\ndemo finished")
    return 0


if __name__ == "__main__":
    sys.exit(main())
