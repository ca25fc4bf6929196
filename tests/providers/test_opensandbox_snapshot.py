"""Snapshot lookup by name: ``vorn_sandbox.providers.opensandbox.snapshot``."""

from __future__ import annotations

import datetime as dt
import logging
import subprocess
import sys
import time
from datetime import timedelta
from types import SimpleNamespace

import pytest

from opensandbox.config.connection_sync import ConnectionConfigSync
from opensandbox.sync.manager import SandboxManagerSync
from opensandbox.sync.sandbox import SandboxSync

LOGGER = "vorn_sandbox.providers.opensandbox.snapshot"


@pytest.fixture
def snap():
    import vorn_sandbox.providers.opensandbox.snapshot as module

    return module


@pytest.fixture(autouse=True)
def _warnings(caplog):
    caplog.set_level(logging.WARNING, logger=LOGGER)


def warnings(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


def config(server) -> ConnectionConfigSync:
    return ConnectionConfigSync(domain=server.domain, protocol="http", use_server_proxy=True,
                                request_timeout=timedelta(seconds=30))


def make_snapshot(server, name: str, *, state: str = "Ready") -> str:
    server.faults.force_snapshot_state(state, "forced", name=name)
    sandbox = SandboxSync.create("local:base", connection_config=config(server), skip_health_check=True)
    try:
        snapshot_id = sandbox.create_snapshot(name=name).id
    finally:
        sandbox.kill()
        sandbox.close()
    manager = SandboxManagerSync.create(connection_config=config(server))
    try:
        deadline = time.monotonic() + 10
        while manager.get_snapshot(snapshot_id).status.state != state and time.monotonic() < deadline:
            time.sleep(0.02)
    finally:
        manager.close()
    return snapshot_id


def test_module_surface(snap):
    assert (snap.SNAPSHOT_READY_STATE, snap.SNAPSHOT_FAILED_STATE, snap.SNAPSHOT_LIST_PAGE_SIZE) == ("Ready", "Failed", 100)
    with pytest.raises(TypeError):
        snap.list_snapshots_named(object(), "x")  # ready_only has no default
    import vorn_sandbox.providers as providers
    import vorn_sandbox.providers.opensandbox as package

    assert package.__doc__.startswith("OpenSandbox helpers shared by every capability.")
    assert providers.__doc__.startswith("Provider-scoped helpers shared across capabilities.")


def test_newest_ready_match_across_pages(snap, opensandbox_local, caplog):
    older = make_snapshot(opensandbox_local, "tpl")
    make_snapshot(opensandbox_local, "tpl", state="Failed")
    make_snapshot(opensandbox_local, "TPL")
    make_snapshot(opensandbox_local, " tpl")
    newer = make_snapshot(opensandbox_local, "tpl")
    before = opensandbox_local.faults.calls("list_snapshots")

    found = snap.newest_ready_snapshot_id("tpl", connection_config=config(opensandbox_local), page_size=1)

    assert found == newer != older
    # Four Ready snapshots, one per page: the scan reads every page, no more.
    assert opensandbox_local.faults.calls("list_snapshots") - before == 4
    manager = SandboxManagerSync.create(connection_config=config(opensandbox_local))
    try:
        every = snap.list_snapshots_named(manager, "tpl", ready_only=False)
        assert len(every) == 3 and every[0].id == newer
        assert sorted(s.status.state for s in every) == ["Failed", "Ready", "Ready"]
    finally:
        manager.close()
    assert warnings(caplog) == []


def test_no_match_gives_none_after_one_request(snap, opensandbox_local, caplog):
    assert snap.newest_ready_snapshot_id("absent", connection_config=config(opensandbox_local)) is None
    assert opensandbox_local.faults.calls("list_snapshots") == 1
    assert warnings(caplog) == []


def test_failure_on_a_later_page_drops_everything(snap, opensandbox_local, caplog):
    make_snapshot(opensandbox_local, "tpl")
    make_snapshot(opensandbox_local, "tpl")
    opensandbox_local.faults.fail("list_snapshots", nth=2, message="listing broke")
    assert snap.newest_ready_snapshot_id("tpl", connection_config=config(opensandbox_local), page_size=1) is None
    [line] = warnings(caplog)
    assert line.startswith("OpenSandbox snapshot lookup failed for 'tpl': ") and "listing broke" in line


def test_endless_paging_is_cut_off_as_a_failed_scan(snap, opensandbox_local, caplog, monkeypatch):
    assert snap._SNAPSHOT_LIST_MAX_PAGES >= 1000  # large enough for any real server
    monkeypatch.setattr(snap, "_SNAPSHOT_LIST_MAX_PAGES", 25)
    make_snapshot(opensandbox_local, "tpl")
    opensandbox_local.faults.endless_pages = True
    before = opensandbox_local.faults.calls("list_snapshots")

    assert snap.newest_ready_snapshot_id("tpl", connection_config=config(opensandbox_local)) is None

    assert opensandbox_local.faults.calls("list_snapshots") - before == 25
    [line] = warnings(caplog)
    assert line.startswith("OpenSandbox snapshot lookup failed for 'tpl': ")


class Page(SimpleNamespace):
    pass


class PagedManager:
    """A manager whose pages are given; records the filters it is asked with."""

    def __init__(self, *pages):
        self.pages = list(pages)
        self.filters = []

    def list_snapshots(self, snapshot_filter):
        self.filters.append(snapshot_filter)
        return self.pages[len(self.filters) - 1]


def info(snapshot_id, created_at, name="n"):
    return SimpleNamespace(id=snapshot_id, name=name, created_at=created_at)


T0 = dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc)


def test_filters_and_stable_newest_first_order(snap):
    manager = PagedManager(
        Page(snapshot_infos=[info("a", T0), info("x", T0, name="other")],
             pagination=SimpleNamespace(has_next_page=True)),
        Page(snapshot_infos=None, pagination=SimpleNamespace(has_next_page=True)),
        Page(snapshot_infos=[info("b", T0 + timedelta(1)), info("c", T0)], pagination=None),
    )
    found = snap.list_snapshots_named(manager, "n", ready_only=True, page_size=7)
    assert [s.id for s in found] == ["b", "a", "c"]
    assert [(f.states, f.page_size, f.page) for f in manager.filters] == [(["Ready"], 7, p) for p in (1, 2, 3)]
    assert snap.list_snapshots_named(PagedManager(Page(snapshot_infos=[], pagination=None)), "n",
                                     ready_only=False) == []


def test_unorderable_times_reach_the_caller(snap, caplog):
    one = PagedManager(Page(snapshot_infos=[info("a", None)], pagination=None))
    assert [s.id for s in snap.list_snapshots_named(one, "n", ready_only=True)] == ["a"]
    two = PagedManager(Page(snapshot_infos=[info("a", None), info("b", T0)], pagination=None))
    with pytest.raises(TypeError):
        snap.list_snapshots_named(two, "n", ready_only=True)
    assert warnings(caplog) == []


def test_lookup_closes_its_manager_and_lets_creation_errors_through(snap, opensandbox_local, monkeypatch):
    closed = []

    class Recording(SandboxManagerSync):
        def close(self):
            closed.append(self)
            super().close()

    monkeypatch.setattr(snap, "SandboxManagerSync", Recording)
    snap.newest_ready_snapshot_id("x", connection_config=config(opensandbox_local))
    assert len(closed) == 1

    class Broken:
        @staticmethod
        def create(**kwargs):
            raise ConnectionError("no manager")

    monkeypatch.setattr(snap, "SandboxManagerSync", Broken)
    with pytest.raises(ConnectionError, match="no manager"):
        snap.newest_ready_snapshot_id("x", connection_config=config(opensandbox_local))


def test_import_without_the_sdk_names_the_extra():
    program = (
        "import sys\n"
        "sys.modules['opensandbox'] = None\n"
        "import vorn_sandbox.providers.opensandbox\n"
        "try:\n"
        "    import vorn_sandbox.providers.opensandbox.snapshot\n"
        "except ImportError as e:\n"
        "    print(type(e.__cause__).__name__, e)\n"
    )
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, check=True).stdout
    assert out.strip() == ("ModuleNotFoundError opensandbox is required for OpenSandbox snapshot lookup. "
                           "Install it with: pip install 'vorn-sandbox[opensandbox]'")
