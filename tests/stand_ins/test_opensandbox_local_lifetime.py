"""What a sandbox's processes inherit from the server, and that none of them
outlives the server that started it, however that server ends."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest
from _orphans import leftovers_after_kill

# Drives one sandbox through the SDK. `hold` starts a long command with a
# background child and a child in a session of its own, keeps the code server
# busy, prints READY and waits; `interrupts` interrupts a running cell and a
# running command and prints how each ended. The server runs in this process
# unless its connection line arrives on stdin (then stdin closing means the
# server is gone, and the driver ends).
DRIVER = textwrap.dedent(r'''
    import asyncio, json, sys, time
    from datetime import timedelta
    from code_interpreter import CodeInterpreter
    from opensandbox import Sandbox
    from opensandbox.config import ConnectionConfig
    from opensandbox.models.execd import ExecutionHandlers

    scenario, where = sys.argv[1], sys.argv[2]
    if where == "in-process":
        from opensandbox_local.serve import ServerThread
        from opensandbox_local.server import LocalOpenSandbox
        server = LocalOpenSandbox()
        ServerThread(server).start()
        domain, isolated, reason = server.domain, server.isolate, server.isolation_reason
    else:
        settings = json.loads(sys.stdin.readline())
        domain, isolated, reason = settings["domain"], settings["isolation"], "no isolation"


    async def started(start, text):
        seen = asyncio.Event()
        ids = []

        async def on_init(message):
            ids.append(message.id)

        async def on_stdout(message):
            if text in message.text:
                seen.set()

        task = asyncio.create_task(start(ExecutionHandlers(on_init=on_init, on_stdout=on_stdout)))
        await asyncio.wait_for(seen.wait(), 120)
        return task, ids[0]


    async def main():
        config = ConnectionConfig(domain=domain, protocol="http", use_server_proxy=True,
                                  request_timeout=timedelta(seconds=120))
        sandbox = await Sandbox.create(
            "local:base", connection_config=config, skip_health_check=True,
            entrypoint=["bash", "/opt/opensandbox/code-interpreter.sh"],
            env={"JUPYTER_HOST": "http://127.0.0.1:44771", "JUPYTER_TOKEN": "sesame"})
        if not isolated and scenario == "interrupts":
            await sandbox.kill()
            print(json.dumps({"skipped": reason}), flush=True)
            return
        if isolated:
            # Without isolation there is no code server (it starts from the
            # sandbox's own tree): the commands are what is left to end.
            interpreter = await CodeInterpreter.create(sandbox=sandbox)
            cell, cell_id = await started(lambda handlers: interpreter.codes.run(
                "import time\nprint('busy', flush=True)\ntime.sleep(1000)", language="python",
                handlers=handlers), "busy")
        # Children in the background would hold the output open past an
        # interrupt of the foreground: only the holding scenario has them.
        text = ("sleep 1000 & setsid sh -c 'echo started; exec sleep 1000' & sleep 1000"
                if scenario == "hold" else "echo started; sleep 1000")
        command, command_id = await started(
            lambda handlers: sandbox.commands.run(text, handlers=handlers), "started")
        if scenario == "hold":
            print("READY", flush=True)
            if where == "in-process":
                time.sleep(1000)
            while sys.stdin.readline():
                pass
            return
        await interpreter.codes.interrupt(cell_id)
        await sandbox.commands.interrupt(command_id)
        report = {}
        for name, task in (("code", cell), ("command", command)):
            try:
                done = await asyncio.wait_for(task, 120)
                report[name] = done.error.name if done.error else "finished"
            except TimeoutError:
                report[name] = "still running"
        await sandbox.kill()
        print(json.dumps(report), flush=True)
        if where == "in-process":
            server.kill_all()

    asyncio.run(main())
''')

# `python -m opensandbox_local`, with the driver as its client: the driver
# reads the server's connection line and reports READY on our stdout.
SERVER_WITH_CLIENT = textwrap.dedent(r'''
    import os, subprocess, sys
    read_end, write_end = os.pipe()
    subprocess.Popen([sys.executable, "-c", sys.argv[1], "hold", "stdin"], stdin=read_end)
    os.dup2(write_end, 1)
    os.execv(sys.executable, [sys.executable, "-m", "opensandbox_local"])
''')


def test_nothing_outlives_a_killed_server_in_process():
    left = leftovers_after_kill([sys.executable, "-c", DRIVER, "hold", "in-process"],
                                sig=signal.SIGKILL)
    assert left == []


def test_nothing_outlives_a_killed_server_process():
    left = leftovers_after_kill([sys.executable, "-c", SERVER_WITH_CLIENT, DRIVER],
                                sig=signal.SIGKILL)
    assert left == []


def test_interrupts_work_when_the_server_ignores_sigint():
    # What a server started as `nohup ... &` from a script inherits.
    ignoring = ("import signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); "
                "signal.signal(signal.SIGQUIT, signal.SIG_IGN); sys.argv = sys.argv[1:]; "
                "exec(sys.argv[0])")
    done = subprocess.run([sys.executable, "-c", ignoring, DRIVER, "interrupts", "in-process"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    if "skipped" in report:
        pytest.skip("the code server needs the sandbox's own tree and network: " + report["skipped"])
    # The command's shell reports the interrupt as its own failure or ends:
    # what matters is that it stopped, and that the cell saw a KeyboardInterrupt.
    assert report["code"] == "KeyboardInterrupt" and report["command"] != "still running", report


def test_server_started_by_a_program_stops_when_its_input_closes():
    server = subprocess.Popen([sys.executable, "-m", "opensandbox_local", "--lifeline"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env={**os.environ, "OPENSANDBOX_LOCAL_ISOLATION": "none"})
    try:
        settings = json.loads(server.stdout.readline())
        assert settings["isolation"] is False
        server.stdin.close()
        assert server.wait(timeout=120) == 0
    finally:
        server.kill()
        server.wait()
    # Said once, with the reason, so that nobody mistakes it for a sandbox.
    said = server.stderr.read()
    assert said.count("share the host's tree and network") == 1, said
    assert "OPENSANDBOX_LOCAL_ISOLATION=none" in said, said
