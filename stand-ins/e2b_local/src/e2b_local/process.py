"""The service in a process of its own, as `python -m e2b_local` starts it."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO


@contextmanager
def serving(*args: str, stop_timeout: float = 60) -> Iterator[dict[str, str]]:
    """Starts `python -m e2b_local ARGS`, applies the environment lines it prints, and stops it on exit."""
    # The service stops when its standard input closes, so it ends with this
    # process however this process ends.
    service = subprocess.Popen([sys.executable, "-m", "e2b_local", "--lifeline", *args],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        env = read_env(service.stdout)
        os.environ.update(env)
        yield env
    finally:
        service.terminate()
        service.wait(stop_timeout)
        service.stdin.close()


def read_env(stdout: IO[str]) -> dict[str, str]:
    """The environment lines that `python -m e2b_local` prints first."""
    env: dict[str, str] = {}
    while len(env) < 3:
        line = stdout.readline()
        if not line:
            raise RuntimeError("the local E2B service did not start")
        if line.startswith("export "):
            key, _, value = line.removeprefix("export ").strip().partition("=")
            env[key] = value
    return env
