"""What the OpenSandbox tests count: client connections still open."""

from __future__ import annotations

import asyncio
import contextlib
import os
import time


def _client_sockets(port: int) -> int:
    """This process's open TCP sockets connected to `port`. The server runs in
    this process too: its own ends (local port `port`) are not counted."""
    inodes = set()
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(name) as table:
            for line in list(table)[1:]:
                fields = line.split()
                if int(fields[2].rsplit(":", 1)[1], 16) == port and fields[3] != "06":  # 06: TIME_WAIT
                    inodes.add(fields[9])
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/self/fd/{fd}")
            count += target.startswith("socket:[") and target[8:-1] in inodes
    return count


async def open_client_sockets(server, settle: float = 2.0) -> int:
    """Client connections to the local server still open once closing
    transports (and the SDK's fire-and-forget metric reports) have finished."""
    deadline = time.monotonic() + settle
    while (count := _client_sockets(server.port)) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    return count


async def wait_until(condition, limit: float = 30.0) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, "the local server never got there"
        await asyncio.sleep(0.02)
