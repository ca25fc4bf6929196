"""The interpreter of one session: runs code sent by the service, keeping its globals between runs.

Requests arrive as JSON lines on the original standard input and replies leave as
JSON lines on the original standard output. Both are moved to private descriptors
at start-up, because the code that runs owns descriptors 0, 1 and 2: its output
(and that of the processes it starts) is captured at the descriptor level.
"""

from __future__ import annotations

import json
import os
import signal
import sys
import tempfile
import threading
import time
import traceback


def _fresh_namespace() -> dict:
    return {"__name__": "__main__", "__builtins__": __builtins__}


def _exit_code(exc: SystemExit) -> int:
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    # sys.exit("message") prints the message and ends with status 1, as the interpreter does.
    print(code, file=sys.stderr)
    return 1


def _run(code: str, namespace: dict, out, err) -> dict:
    started = time.perf_counter()
    for capture in (out, err):
        capture.seek(0)
        capture.truncate()
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    os.dup2(out.fileno(), 1)
    os.dup2(err.fileno(), 2)
    exit_code = 0
    try:
        exec(compile(code, "<string>", "exec"), namespace)
    except SystemExit as exc:
        exit_code = _exit_code(exc)
    except BaseException:
        traceback.print_exc()
        exit_code = 1
    finally:
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            try:
                stream.flush()
            except Exception:
                pass
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved:
            os.close(fd)
    out.seek(0)
    err.seek(0)
    return {
        "stdout": out.read().decode("utf-8", errors="replace"),
        "stderr": err.read().decode("utf-8", errors="replace"),
        "exitCode": exit_code,
        "executionTime": time.perf_counter() - started,
    }


def _start_clean() -> None:
    """Default dispositions and no blocked signals, as in a fresh machine,
    whatever the service inherited (a run started with nohup ignores SIGINT
    and SIGQUIT, and every child would inherit that); SIGINT interrupts the
    code as it does in any interpreter."""
    signal.pthread_sigmask(signal.SIG_SETMASK, ())
    for signum in signal.valid_signals():
        if signum not in (signal.SIGKILL, signal.SIGSTOP, signal.SIGPIPE, signal.SIGXFSZ):
            try:
                signal.signal(signum, signal.SIG_DFL)
            except (OSError, ValueError):
                pass
    signal.signal(signal.SIGINT, signal.default_int_handler)


def _end_with_service(lifeline: int) -> None:
    """End-of-file on the lifeline: the service is gone. This interpreter
    leads its own process group, so one kill takes the commands its code
    started too."""
    while os.read(lifeline, 4096):
        pass
    os.killpg(0, signal.SIGKILL)


def main() -> None:
    _start_clean()
    lifeline = int(sys.argv[1])
    os.set_inheritable(lifeline, False)
    threading.Thread(target=_end_with_service, args=(lifeline,), daemon=True).start()
    requests = os.fdopen(os.dup(0), "rb")
    replies = os.fdopen(os.dup(1), "wb")
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 0)
    os.dup2(devnull, 1)
    namespace = _fresh_namespace()
    # One pair of capture files for the session, emptied before each run.
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    for line in requests:
        request = json.loads(line)
        if request.get("clearContext"):
            namespace = _fresh_namespace()
        reply = _run(request["code"], namespace, out, err)
        replies.write(json.dumps(reply).encode("utf-8") + b"\n")
        replies.flush()


if __name__ == "__main__":
    main()
