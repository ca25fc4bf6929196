"""The local service's event-stream encoder, checked against botocore's own decoder."""

import json
import uuid

import pytest
from botocore.eventstream import ChecksumMismatch, EventStreamBuffer

from agentcore_local import eventstream


def decode_all(data: bytes, chunk: int | None = None) -> list:
    buffer = EventStreamBuffer()
    messages = []
    step = chunk or len(data) or 1
    for start in range(0, len(data), step):
        buffer.add_data(data[start : start + step])
        messages.extend(buffer)
    return messages


HEADER_VALUES = [
    ("flag-true", True),
    ("flag-false", False),
    ("small-int", -7),
    ("int32-max", 2**31 - 1),
    ("long", 2**40),
    ("negative-long", -(2**40)),
    ("text", "ünïcode ✓"),
    ("empty-text", ""),
    ("raw", b"\x00\x01\xff"),
    ("when", eventstream.Timestamp(1_700_000_000_123)),
    ("id", uuid.UUID("12345678-1234-5678-1234-567812345678")),
]


@pytest.mark.parametrize("name,value", HEADER_VALUES, ids=[name for name, _ in HEADER_VALUES])
def test_header_types_decode_to_the_value(name, value):
    [message] = decode_all(eventstream.encode_message({name: value}, b"payload"))
    expected = value.bytes if isinstance(value, uuid.UUID) else value
    assert message.headers == {name: expected}
    assert message.payload == b"payload"


@pytest.mark.parametrize("chunk", [1, 7, 64, None])
def test_messages_split_across_chunks_decode_in_order(chunk):
    bodies = [{"content": [], "isError": False}, {"content": [{"type": "text", "text": "x" * 300}]}, {}]
    data = b"".join(eventstream.event("result", body) for body in bodies) + eventstream.error("Boom", "bad")
    messages = decode_all(data, chunk)
    assert [json.loads(m.payload) for m in messages[:3]] == bodies
    assert [m.headers[":message-type"] for m in messages] == ["event", "event", "event", "error"]
    assert messages[3].headers[":error-code"] == "Boom"
    assert messages[3].payload == b""


def test_exception_event_carries_its_member_name_and_message():
    [message] = decode_all(eventstream.exception("throttlingException", "slow down"))
    assert message.headers[":exception-type"] == "throttlingException"
    assert message.to_response_dict()["status_code"] == 400
    assert json.loads(message.payload) == {"message": "slow down"}


@pytest.mark.parametrize("position", [2, 9, -1, -6])
def test_a_corrupted_byte_fails_a_checksum(position):
    data = bytearray(eventstream.event("result", {"content": []}))
    data[position] ^= 0x01
    with pytest.raises(ChecksumMismatch):
        decode_all(bytes(data))


def test_unencodable_header_value_is_refused():
    with pytest.raises(TypeError):
        eventstream.encode_message({"x": 1.5})
