"""python -m e2b_local [--port N] [--env-file PATH] ...

Serves the local E2B service on 127.0.0.1 and prints the environment lines
that point the E2B SDK at it; Ctrl-C (or SIGTERM, or with --lifeline the end
of its standard input) stops it and kills every sandbox.
"""

import argparse
import asyncio
import os
import signal
import sys
import threading

from .service import DEFAULT_API_KEY, LocalE2BService


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m e2b_local", description=__doc__.splitlines()[2])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 (the default) picks a free port")
    parser.add_argument("--state-dir", help="where sandbox trees live (default: a new temporary directory)")
    parser.add_argument("--api-key", default=DEFAULT_API_KEY)
    parser.add_argument("--build-delay", type=float, default=0.0, help="seconds until a template build is ready")
    parser.add_argument("--env-file", help="also write the environment lines to this file")
    parser.add_argument("--no-isolation", action="store_true", help="never use private namespaces")
    parser.add_argument("--lifeline", action="store_true", help="stop when standard input closes")
    args = parser.parse_args(argv)

    service = LocalE2BService(host=args.host, port=args.port, state_dir=args.state_dir,
                              api_key=args.api_key, isolate=False if args.no_isolation else None)
    service.faults.build_delay = args.build_delay
    sock = service.bind()
    lines = service.env_lines()
    # The file first: whoever reads stdout may go for the file next.
    if args.env_file:
        with open(args.env_file, "w", encoding="utf-8") as out:
            out.write(lines)
    sys.stdout.write(lines)
    sys.stdout.flush()
    if not service.isolate:
        print(f"# e2b_local: sandboxes share the host's tree ({service.isolation_reason})", file=sys.stderr)
    if args.lifeline:
        threading.Thread(target=_stop_at_end_of_input, args=(service,), daemon=True).start()
    # uvicorn stops on SIGTERM and then raises it again; ending by an
    # exception (not the default action) lets the sandboxes be killed first.
    signal.signal(signal.SIGTERM, _exit_on_signal)
    try:
        asyncio.run(service.serve(sock))
    except (KeyboardInterrupt, SystemExit):
        pass
    return 0


def _stop_at_end_of_input(service: LocalE2BService) -> None:
    # Whoever started this holds the write end; it closes when they end,
    # even by SIGKILL, and the sandboxes go with this service then.
    while os.read(0, 65536):
        pass
    service.stop_serving()


def _exit_on_signal(signum, frame):
    raise SystemExit(0)


if __name__ == "__main__":
    sys.exit(main())
