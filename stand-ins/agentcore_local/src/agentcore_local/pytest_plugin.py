"""pytest fixtures: `agentcore_local_service` (one service per test run) and `agentcore_local`.

`agentcore_local` points botocore at the service for one test through the
environment, with no shared AWS configuration in the way, and leaves the service
with no session, fault or count behind.
"""

from __future__ import annotations

import pytest


@pytest.fixture(scope="session")
def agentcore_local_service():
    from .control import LocalAgentCore

    with LocalAgentCore.start() as service:
        yield service


@pytest.fixture
def agentcore_local(agentcore_local_service, monkeypatch):
    service = agentcore_local_service
    service.reset()
    for name, value in service.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setenv("AWS_CONFIG_FILE", "/dev/null")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", "/dev/null")
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")
    for name in ("AWS_SESSION_TOKEN", "AWS_PROFILE", "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS"):
        monkeypatch.delenv(name, raising=False)
    yield service
    service.reset()
