"""``python -m opensandbox_local [--port N] [--api-key KEY] [--lifeline]``: serve
until interrupted, or with ``--lifeline`` until standard input closes."""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading

import uvicorn

from opensandbox_local.serve import KEEP_ALIVE_SECONDS, _bound_socket
from opensandbox_local.server import LocalOpenSandbox


def _stop_at_end_of_input(serving: uvicorn.Server) -> None:
    # A program that started this server and ended, however, closes its end.
    while os.read(0, 4096):
        pass
    serving.should_exit = True


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m opensandbox_local")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--api-key", default=None, help="demand this OPEN-SANDBOX-API-KEY")
    parser.add_argument("--no-isolation", action="store_true",
                        help="run sandboxes without their own namespaces")
    parser.add_argument("--lifeline", action="store_true", help="stop when standard input closes")
    args = parser.parse_args()
    server = LocalOpenSandbox(api_key=args.api_key, isolate=False if args.no_isolation else None)
    if not server.isolate:
        print(f"opensandbox_local: sandboxes share the host's tree and network "
              f"({server.isolation_reason})", file=sys.stderr, flush=True)
    sock = _bound_socket(server.host, args.port)
    server.port = sock.getsockname()[1]
    print(json.dumps({"domain": server.domain, "protocol": "http", "api_key": args.api_key,
                      "use_server_proxy": True, "isolation": server.isolate}), flush=True)
    try:
        config = uvicorn.Config(server.app, log_level="warning", access_log=False,
                                timeout_keep_alive=KEEP_ALIVE_SECONDS)
        serving = uvicorn.Server(config)
        if args.lifeline:
            threading.Thread(target=_stop_at_end_of_input, args=(serving,), daemon=True).start()
        serving.run(sockets=[sock])
    finally:
        server.close()


if __name__ == "__main__":
    main()
