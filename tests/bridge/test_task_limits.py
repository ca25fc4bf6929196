"""Failure modes that would take the interpreter down: each runs in a child process."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_child(code: str, path: str, timeout: float, *options: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([path, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


@pytest.fixture
def testmod_dir(testmod):
    return os.path.dirname(testmod.__file__)


FIRST_USES = {
    "coroutine type": "import _pyx_testmod as m\nfirst = lambda: m.trivial().close()",
    "asyncio statics": "import _pyx_testmod as m\nfirst = lambda: m.is_cancellation(KeyError())",
    "package coroutine": (
        "import vorn_sandbox.utils as u\nfirst = lambda: u.create_with_retry(None, is_transient=None).close()"
    ),
}


@pytest.mark.parametrize("first_use", FIRST_USES.values(), ids=FIRST_USES.keys())
def test_threads_racing_to_the_first_coroutine_do_not_deadlock(testmod_dir, first_use):
    # The bridge's lazily built objects run Python code while being built,
    # which lets another thread take the GIL in the middle; eight threads
    # released at once by a barrier, switching as often as possible, hung
    # most runs when those objects sat behind a C++ initialisation guard.
    code = first_use + textwrap.dedent(
        """
        import sys, threading
        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(8)
        def work():
            barrier.wait()
            first()
        threads = [threading.Thread(target=work) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print("done")
        """
    )
    for attempt in range(15):
        try:
            child = run_child(code, testmod_dir, timeout=10)
        except subprocess.TimeoutExpired:
            pytest.fail(f"threads deadlocked on run {attempt}")
        assert child.returncode == 0 and child.stdout == "done\n", child.stderr
