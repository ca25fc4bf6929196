"""`python -m e2b_local`: serves, prints the SDK's environment, and kills
every sandbox when it is stopped."""

import asyncio
import os
import signal
import subprocess
import sys

import httpx
from e2b_code_interpreter import AsyncSandbox
from e2b_local.process import read_env


def test_command_line_serves_and_stops_cleanly(tmp_path):
    process = subprocess.Popen(
        [sys.executable, "-m", "e2b_local", "--state-dir", str(tmp_path), "--env-file", str(tmp_path / "env")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        env = read_env(process.stdout)
        assert env["E2B_API_URL"] == env["E2B_SANDBOX_URL"]
        assert env["E2B_API_URL"].startswith("http://127.0.0.1:")
        assert (tmp_path / "env").read_text().count("export ") == 3

        async def use() -> str:
            handle = await AsyncSandbox.create(
                api_key=env["E2B_API_KEY"], api_url=env["E2B_API_URL"], sandbox_url=env["E2B_SANDBOX_URL"], timeout=60
            )
            result = await handle.commands.run("echo $$ > /tmp/shell; sleep 300 &", timeout=10)
            assert result.exit_code == 0
            return handle.sandbox_id

        sandbox_id = asyncio.run(use())
        assert httpx.get(env["E2B_API_URL"] + "/_local/sandboxes").json() == {"live": [sandbox_id]}
        assert (tmp_path / "sandboxes" / sandbox_id).is_dir()
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    assert process.returncode == 0
    # Stopping killed the sandbox and removed its tree.
    assert not (tmp_path / "sandboxes" / sandbox_id).exists()
    assert os.listdir(tmp_path / "sandboxes") == []
