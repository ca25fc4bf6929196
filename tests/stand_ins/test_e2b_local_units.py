"""Helpers of the local E2B service that the SDK tests reach only by chance."""

import asyncio

import pytest
from e2b.sandbox.signature import get_signature
from e2b_local.envd import file_signature
from e2b_local.kernel import _Run, _Stream
from e2b_local.templates import split_name


@pytest.mark.parametrize("username", [None, "user"])
@pytest.mark.parametrize("expiration", [None, 120])
def test_file_signature_matches_the_sdk(username, expiration):
    signed = get_signature("/files/a b.txt", "read", username, "token-1", expiration)
    ours = file_signature("/files/a b.txt", "read", username, "token-1", signed["expiration"])
    assert ours == signed["signature"]


def _collect(run: _Run) -> list[tuple[str, str | None]]:
    events = []
    while not run.events.empty():
        events.append(run.events.get_nowait())
    return events


@pytest.mark.parametrize("cut", [1, 3, 7, 12, 20])
def test_stream_splits_lines_and_finds_a_marker_cut_anywhere(cut):
    async def scenario():
        stream, run = _Stream("stdout"), _Run()
        stream.run = run
        text = "one\ntw" + "o\nlast without newline" + run.marker + "next run's"
        for start in range(0, len(text), cut):
            stream.feed(text[start:start + cut])
        return _collect(run), stream.buffer

    events, left = asyncio.run(scenario())
    assert events == [("stdout", "one\n"), ("stdout", "two\n"), ("stdout", "last without newline"), ("stdout_end", None)]
    assert left == "next run's"


@pytest.mark.parametrize(
    ("name", "expected"),
    [("plain", ("plain", None)), ("name:v1", ("name", "v1")), ("team/name:v2", ("team/name", "v2")),
     ("registry:5000/image", ("registry:5000/image", None))],
)
def test_template_names_split_off_their_tag(name, expected):
    assert split_name(name) == expected
