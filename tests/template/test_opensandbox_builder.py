"""Snapshot-based templates: ``OpenSandboxTemplateBuilder`` on the local OpenSandbox server."""

from __future__ import annotations

import base64
import logging
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest
from moto import mock_aws

from opensandbox.models.sandboxes import SandboxImageSpec
from opensandbox.sync.manager import SandboxManagerSync

from vorn_sandbox.errors import Stage
from vorn_sandbox.template.models import (AwsAuth, BasicAuth, GcpAuth, SandboxProvider, TemplateBuildStatus,
                                          TemplateSpec)

LOGGER = "vorn_sandbox.template.opensandbox"
SECRETS = ("b4sic-pa55word", "aws-s3cret-key", '{"private_key": "gcp-pr1vate"}', "gcp-pr1vate")


@pytest.fixture(scope="module")
def tos():
    import vorn_sandbox.template.opensandbox as module

    return module


@pytest.fixture(autouse=True)
def _logs(caplog):
    caplog.set_level(logging.DEBUG)


def lines(caplog, level=logging.WARNING) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno >= level]


def builder(tos, server, **options):
    options.setdefault("snapshot_poll_interval", 0.05)
    return tos.OpenSandboxTemplateBuilder(domain=server.domain, protocol="http", **options)


def names_on(server, name: str) -> list[str]:
    with SandboxManagerSync.create(connection_config=builder_config(server)) as manager:
        from vorn_sandbox.providers.opensandbox.snapshot import list_snapshots_named

        return [s.id for s in list_snapshots_named(manager, name, ready_only=False)]


def builder_config(server):
    import vorn_sandbox.template.opensandbox as module

    return module.OpenSandboxTemplateBuilder(domain=server.domain, protocol="http")._connection_config()


class FakeTime:
    """``time.monotonic`` and ``time.sleep`` of the builder module, moved by the builder only."""

    def __init__(self):
        self.now = 50.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


def test_construction_defaults(tos):
    built = tos.OpenSandboxTemplateBuilder()
    assert (built._api_key, built._domain, built._protocol, built._use_server_proxy, built._ready_timeout,
            built._snapshot_ready_timeout, built._snapshot_poll_interval, built._pool_ref) == \
        (None, tos.Config.DEFAULT_DOMAIN, "http", True, 60, 180, 2.0, None)
    assert built.provider is SandboxProvider.OPENSANDBOX and built.supports_build is True
    with pytest.raises(TypeError):
        tos.OpenSandboxTemplateBuilder("key")
    with pytest.raises(AttributeError):
        built.supports_build = False
    failed = built._failed("nope")
    assert (failed.status, failed.template_ref, failed.logs, failed.stage) == (TemplateBuildStatus.FAILED, None, "", None)


def test_ensure_builds_skips_and_replaces(tos, opensandbox_local, caplog):
    made = builder(tos, opensandbox_local, pool_ref="warm")
    spec = TemplateSpec(template_id="tpl", image="local:base", packages=["pip"], start_cmd="bash -c 'sleep 1000'",
                        dockerfile="FROM x")

    first = made.ensure(spec)
    assert (first.status, first.template_ref.value, first.template_ref.provider, first.detail, first.stage) == \
        (TemplateBuildStatus.SUCCESS, "tpl", SandboxProvider.OPENSANDBOX, "", None)
    [request] = opensandbox_local.create_requests
    assert request["entrypoint"] == ["bash", "-c", "sleep 1000"] and request["extensions"] == {"poolRef": "warm"}
    assert opensandbox_local.live_count() == 0  # the build sandbox is gone, the snapshot stays
    [kept] = names_on(opensandbox_local, "tpl")
    assert made.is_usable("tpl") and not made.is_usable("TPL")
    assert "OpenSandboxTemplateBuilder ignores spec.dockerfile; using image + packages" in lines(caplog, logging.INFO)

    again = made.ensure(spec)
    assert (again.status, again.detail) == (TemplateBuildStatus.SKIPPED, "already usable")

    rebuilt = made.ensure(spec.model_copy(update={"force_rebuild": True}))
    assert rebuilt.status is TemplateBuildStatus.SUCCESS
    [replacement] = names_on(opensandbox_local, "tpl")
    assert replacement != kept
    assert f"Deleted old OpenSandbox snapshot {kept} (name=tpl)" in lines(caplog, logging.INFO)


def test_failed_snapshot_keeps_the_older_ones(tos, opensandbox_local, caplog):
    made = builder(tos, opensandbox_local)
    spec = TemplateSpec(template_id="tpl", image="local:base")
    assert made.build(spec).status is TemplateBuildStatus.SUCCESS
    opensandbox_local.faults.force_snapshot_state("Failed", "disk full", name="tpl")

    result = made.build(spec)

    assert result.status is TemplateBuildStatus.FAILED
    assert result.detail.startswith("snapshot snap-") and result.detail.endswith(" did not reach 'Ready' state")
    assert len(names_on(opensandbox_local, "tpl")) == 2
    assert any(line.endswith(" failed: disk full") for line in lines(caplog))
    # ensure reports the name usable all the same: the older snapshot is Ready.
    skipped = made.ensure(spec.model_copy(update={"force_rebuild": False}))
    assert skipped.status is TemplateBuildStatus.SKIPPED


def test_readiness_wait_is_bounded_on_the_clock(tos, opensandbox_local, monkeypatch, caplog):
    clock = FakeTime()
    monkeypatch.setattr(tos, "time", clock)
    opensandbox_local.faults.force_snapshot_state("Creating", name="slow")
    made = builder(tos, opensandbox_local, snapshot_poll_interval=2.0)

    result = made.build(TemplateSpec(template_id="slow", image="local:base"))

    assert result.status is TemplateBuildStatus.FAILED
    assert opensandbox_local.faults.calls("get_snapshot") == 90 and clock.sleeps == [2.0] * 90
    assert any(line.endswith(" not Ready within 180s") for line in lines(caplog))


def test_failed_install_and_failed_sandbox(tos, opensandbox_local, caplog):
    made = builder(tos, opensandbox_local)
    result = made.build(TemplateSpec(template_id="pkg", image="local:base", packages=["/no/such/package"]))
    assert result.status is TemplateBuildStatus.FAILED and result.logs == ""
    assert result.detail.startswith("snapshot build failed: pip install failed: ")
    assert names_on(opensandbox_local, "pkg") == [] and opensandbox_local.live_count() == 0

    opensandbox_local.faults.fail("create_sandbox", message="no capacity")
    failed = made.build(TemplateSpec(template_id="pkg", image="local:base"))
    assert failed.status is TemplateBuildStatus.FAILED and "no capacity" in failed.detail
    assert any(line.startswith("OpenSandbox snapshot build failed for 'pkg': ") for line in lines(caplog))


def test_kill_failure_is_logged_and_close_still_runs(tos, opensandbox_local, caplog):
    opensandbox_local.faults.fail("kill_sandbox", message="kill refused")
    result = builder(tos, opensandbox_local).build(TemplateSpec(template_id="k", image="local:base"))
    assert result.status is TemplateBuildStatus.SUCCESS
    assert any(line.startswith("Error killing build sandbox: ") for line in lines(caplog))
    assert opensandbox_local.live_count() == 1
    opensandbox_local.kill_all()


def test_lookups_and_waits_close_every_manager(tos, opensandbox_local, monkeypatch):
    opened, closed = [], []

    class Recording(SandboxManagerSync):
        @classmethod
        def create(cls, connection_config=None):
            manager = super().create(connection_config=connection_config)
            opened.append(manager)
            return manager

        def close(self):
            closed.append(self)
            super().close()

    monkeypatch.setattr(tos, "SandboxManagerSync", Recording)
    made = builder(tos, opensandbox_local)
    assert made.ensure(TemplateSpec(template_id="m", image="local:base")).status is TemplateBuildStatus.SUCCESS
    assert len(opened) >= 3 and sorted(map(id, opened)) == sorted(map(id, closed))


def test_lookup_failure_counts_as_not_usable(tos, opensandbox_local, caplog):
    opensandbox_local.faults.fail("list_snapshots")
    assert builder(tos, opensandbox_local).is_usable("x") is False
    assert len([l for l in caplog.records if "snapshot lookup failed for 'x'" in l.getMessage()]) == 1
    assert tos.OpenSandboxTemplateBuilder(domain="127.0.0.1:1", ready_timeout=1).is_usable("x") is False


# ---------------------------------------------------------------------------
# Registry logins


def test_image_argument_and_logins(tos, tmp_path):
    made = tos.OpenSandboxTemplateBuilder()
    assert made._image_arg(TemplateSpec(template_id="t", image="img", base_template="old")) == "img"
    assert made._image_arg(TemplateSpec(template_id="t", base_template="old")) == "old"
    assert made._image_arg(TemplateSpec(template_id="t")) == tos.Config.DEFAULT_IMAGE

    spec = made._image_arg(TemplateSpec(template_id="t", image="reg/img",
                                        registry_auth=BasicAuth(username="me", password=SECRETS[0])))
    assert isinstance(spec, SandboxImageSpec)
    assert (spec.image, spec.auth.username, spec.auth.password) == ("reg/img", "me", SECRETS[0])

    key_file = tmp_path / "sa.json"
    key_file.write_text(SECRETS[2])
    assert made._to_basic_credentials(GcpAuth(service_account_json=str(key_file))) == ("_json_key", SECRETS[2])
    with pytest.raises(ValueError, match="^Unsupported registry auth: SimpleNamespace$"):
        made._to_basic_credentials(SimpleNamespace(password=SECRETS[0]))


@mock_aws
def test_ecr_login_comes_from_get_authorization_token(tos):
    user, password = tos.OpenSandboxTemplateBuilder._ecr_credentials(
        AwsAuth(access_key_id="AKIAEXAMPLE", secret_access_key=SECRETS[1], region="eu-west-1"))
    assert user == "AWS" and password and ":" not in user


@pytest.mark.parametrize("token, expected", [
    ("AWS:pa:ss", ("AWS", "pa:ss")),
    ("no-colon", ValueError),
])
def test_ecr_token_split_at_the_first_colon(tos, monkeypatch, token, expected):
    import boto3

    class Client:
        def get_authorization_token(self):
            return {"authorizationData": [{"authorizationToken": base64.b64encode(token.encode()).decode()}]}

    seen = {}

    def client(service, **kwargs):
        seen.update(kwargs, service=service)
        return Client()

    monkeypatch.setattr(boto3, "client", client)
    auth = AwsAuth(access_key_id="AKIA", secret_access_key=SECRETS[1], region="us-east-1")
    if expected is ValueError:
        with pytest.raises(ValueError):
            tos.OpenSandboxTemplateBuilder._ecr_credentials(auth)
    else:
        assert tos.OpenSandboxTemplateBuilder._ecr_credentials(auth) == expected
    assert seen == {"service": "ecr", "aws_access_key_id": "AKIA", "aws_secret_access_key": SECRETS[1],
                    "region_name": "us-east-1"}


@mock_aws
def test_no_secret_reaches_logs_results_or_errors(tos, opensandbox_local, caplog):
    made = builder(tos, opensandbox_local)
    auths = [BasicAuth(username="me", password=SECRETS[0]),
             AwsAuth(access_key_id="AKIAEXAMPLE", secret_access_key=SECRETS[1], region="eu-west-1"),
             GcpAuth(service_account_json=SECRETS[2])]
    results = []
    for index, auth in enumerate(auths):
        spec = TemplateSpec(template_id=f"auth{index}", image="reg/img", registry_auth=auth)
        results.append(made.ensure(spec))
    assert [r.status for r in results] == [TemplateBuildStatus.SUCCESS] * 3
    sent = [request["image"]["auth"] for request in opensandbox_local.create_requests]
    assert sent[0] == {"username": "me", "password": SECRETS[0]} and sent[1]["username"] == "AWS"
    assert sent[2] == {"username": "_json_key", "password": SECRETS[2]}

    # A failing build with credentials: the failure texts carry no secret either.
    opensandbox_local.faults.fail("create_sandbox", message="registry denied")
    failed = made.ensure(TemplateSpec(template_id="auth9", image="reg/img", registry_auth=auths[0]))
    assert failed.status is TemplateBuildStatus.FAILED
    results.append(failed)
    ours = [r.getMessage() for r in caplog.records if r.name.startswith("vorn_sandbox")]
    texts = ours + [repr(r) + r.detail + r.logs for r in results]
    for secret in SECRETS:
        assert all(secret not in text for text in texts), secret


def test_unsupported_login_fails_through_ensure(tos, opensandbox_local):
    made = builder(tos, opensandbox_local)

    spec = TemplateSpec(template_id="odd", image="img")
    object.__setattr__(spec, "registry_auth", SimpleNamespace(token=SECRETS[0]))
    result = made.ensure(spec)
    assert (result.status, result.stage) == (TemplateBuildStatus.FAILED, Stage.TEMPLATE_BUILD)
    assert result.detail == "Unsupported registry auth: SimpleNamespace"
    assert opensandbox_local.create_requests == []


def test_import_without_the_sdk_names_the_extra():
    program = (
        "import sys\n"
        "sys.modules['opensandbox.sync'] = None\n"
        "try:\n"
        "    import vorn_sandbox.template.opensandbox\n"
        "except ImportError as e:\n"
        "    print(type(e.__cause__).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout
    assert out.strip() == ("ModuleNotFoundError opensandbox is required for OpenSandboxTemplateBuilder. "
                           "Install it with: pip install 'vorn-sandbox[opensandbox]'")


def test_build_sandbox_is_disposed_when_the_failed_result_cannot_be_made(tos, monkeypatch):
    disposed = []

    class Box:
        def create_snapshot(self, *, name):
            raise RuntimeError("snapshot refused")

        def kill(self):
            disposed.append("kill")

        def close(self):
            disposed.append("close")

    monkeypatch.setattr(tos, "SandboxSync", SimpleNamespace(create=lambda image, **_: Box()))

    class Broken(tos.OpenSandboxTemplateBuilder):
        def _failed(self, detail, *, logs=""):
            raise LookupError("no result")

    with pytest.raises(LookupError):
        Broken().build(TemplateSpec(template_id="t", image="local:base"))
    assert disposed == ["kill", "close"]
