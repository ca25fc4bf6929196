"""The code kernel: one Python process per sandbox that keeps its globals.

Runs inside the sandbox as ``python -u -c <this source>`` (standard library
only). Requests arrive as JSON lines on fd 0; each finished run is reported
as one JSON line on fd 3. The code's output goes to fds 1 and 2 unchanged,
so output of child processes (pip, shell calls) streams the same way; after
each run the kernel writes the request's end marker to both, which tells
the service that everything printed by that run has been read.
"""

import ast
import json
import os
import signal
import sys
import traceback

_requests = os.fdopen(os.dup(0), "r", encoding="utf-8")
# Code and its child processes must not consume the request channel.
_null = os.open(os.devnull, os.O_RDONLY)
os.dup2(_null, 0)
sys.stdin = open(os.devnull, encoding="utf-8")
_replies = os.fdopen(3, "w", encoding="utf-8", buffering=1)

_running = False


def _interrupt(signum, frame):
    # An interrupt that arrives between runs must not kill the kernel.
    if _running:
        raise KeyboardInterrupt


signal.signal(signal.SIGINT, _interrupt)

namespace = {"__name__": "__main__", "__builtins__": __builtins__}
execution_count = 0


def _run(code):
    """Runs one cell; the value of a final expression becomes the result."""
    # compile() rather than ast.parse(): a syntax error's traceback then
    # has no frame outside the cell.
    tree = compile(code, "<cell>", "exec", ast.PyCF_ONLY_AST)
    last = None
    if tree.body and isinstance(tree.body[-1], ast.Expr):
        last = ast.Expression(tree.body.pop().value)
    exec(compile(tree, "<cell>", "exec"), namespace)
    if last is not None:
        value = eval(compile(last, "<cell>", "eval"), namespace)
        if value is not None:
            return repr(value)
    return None


def _describe(error):
    # The kernel's own frames (this file runs as "<string>") are not the
    # cell's business: the traceback shows the cell and what it called.
    report = traceback.TracebackException(type(error), error, error.__traceback__)
    report.stack = traceback.StackSummary.from_list(
        [frame for frame in report.stack if frame.filename != "<string>"]
    )
    return {"name": type(error).__name__, "value": str(error), "traceback": "".join(report.format())}


def _with_env(env):
    saved = {key: os.environ.get(key) for key in env}
    os.environ.update(env)
    return saved


def _restore_env(saved):
    for key, value in saved.items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value


for line in _requests:
    request = json.loads(line)
    execution_count += 1
    saved = _with_env(request.get("env") or {})
    result = error = None
    _running = True
    try:
        result = _run(request["code"])
    except BaseException as exc:  # the cell's SystemExit and interrupts are its errors
        error = _describe(exc)
    finally:
        _running = False
        _restore_env(saved)
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except Exception:
        pass
    marker = request["marker"].encode()
    os.write(1, marker)
    os.write(2, marker)
    reply = {"id": request["id"], "result": result, "error": error, "count": execution_count}
    _replies.write(json.dumps(reply) + "\n")
