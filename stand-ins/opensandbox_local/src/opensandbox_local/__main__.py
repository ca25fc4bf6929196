"""``python -m opensandbox_local [--port N] [--api-key KEY]``: serve until interrupted."""

from __future__ import annotations

import argparse
import json

import uvicorn

from opensandbox_local.serve import KEEP_ALIVE_SECONDS, _bound_socket
from opensandbox_local.server import LocalOpenSandbox


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m opensandbox_local")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--api-key", default=None, help="demand this OPEN-SANDBOX-API-KEY")
    parser.add_argument("--no-isolation", action="store_true",
                        help="run sandboxes without their own namespaces")
    args = parser.parse_args()
    server = LocalOpenSandbox(api_key=args.api_key, isolate=False if args.no_isolation else None)
    sock = _bound_socket(server.host, args.port)
    server.port = sock.getsockname()[1]
    print(json.dumps({"domain": server.domain, "protocol": "http", "api_key": args.api_key,
                      "use_server_proxy": True, "isolation": server.isolate}), flush=True)
    try:
        config = uvicorn.Config(server.app, log_level="warning", access_log=False,
                                timeout_keep_alive=KEEP_ALIVE_SECONDS)
        uvicorn.Server(config).run(sockets=[sock])
    finally:
        server.close()


if __name__ == "__main__":
    main()
