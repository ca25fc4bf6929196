"""Serves the local AgentCore Code Interpreter service on 127.0.0.1.

python -m agentcore_local [--port N] [--root DIR] [--max-sessions N] prints the
environment lines that point botocore at it, then serves until interrupted.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import signal
import socket
import sys
import tempfile
import threading
from pathlib import Path

import uvicorn

from .app import LocalService, create_app
from .control import ACCESS_KEY_ID, environment


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m agentcore_local", description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--root", type=Path, default=None, help="directory for session files (default: a temporary one)")
    parser.add_argument("--max-sessions", type=int, default=64, help="live sessions before ServiceQuotaExceeded")
    parser.add_argument("--lifeline", action="store_true",
                        help="stop when standard input closes (its starter holds the other end)")
    args = parser.parse_args(argv)
    # uvicorn re-raises the signal that stopped it; as SystemExit the session files are removed on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    if args.lifeline:
        threading.Thread(target=_stop_at_end_of_stdin, name="lifeline", daemon=True).start()

    # proto given explicitly: asyncio turns Nagle off (TCP_NODELAY) only on sockets that name
    # IPPROTO_TCP, and without it every keep-alive reply waits for a delayed ACK (~40 ms).
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", args.port))
    # Listening before the environment lines go out: a client that reads them may connect at once.
    sock.listen(128)
    port = sock.getsockname()[1]

    with tempfile.TemporaryDirectory(prefix="agentcore-local-") as scratch:
        root = args.root or Path(scratch)
        root.mkdir(parents=True, exist_ok=True)
        service = LocalService(root, ACCESS_KEY_ID, max_sessions=args.max_sessions)
        for name, value in environment(f"http://127.0.0.1:{port}").items():
            print(f"{name}={value}")
        print(f"# session files under {root}", flush=True)
        # A run still in flight (its client may be gone) does not hold the stop up
        # for long: the sessions end, and the run with them.
        config = uvicorn.Config(create_app(service), log_level="warning", access_log=False, lifespan="on",
                                timeout_graceful_shutdown=5)
        server = uvicorn.Server(config)
        try:
            asyncio.run(server.serve(sockets=[sock]))
        except KeyboardInterrupt:
            pass
    return 0


def _stop_at_end_of_stdin() -> None:
    """The starter holds the only write end of our standard input: when it
    ends, however it ends, the read sees end-of-file and the service stops
    as it does on SIGTERM, ending every session."""
    while os.read(0, 65536):
        pass
    os.kill(os.getpid(), signal.SIGTERM)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
