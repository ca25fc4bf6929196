"""Encoder of the AWS event-stream framing that botocore decodes.

A message is: a prelude (total length, headers length, both big-endian uint32),
the CRC32 of the prelude, the headers, the payload, and the CRC32 of everything
before it. Each header is a one-byte name length, the name, a one-byte value
type and the value in that type's encoding.
"""

from __future__ import annotations

import json
import struct
import uuid
from binascii import crc32
from collections.abc import Mapping
from typing import Any

PRELUDE_LENGTH = 12

# Value types of the header encoding.
_TRUE, _FALSE, _BYTE, _SHORT, _INT, _LONG, _BYTES, _STRING, _TIMESTAMP, _UUID = range(10)


class Timestamp(int):
    """Milliseconds since the epoch, encoded with the timestamp header type."""


def _encode_value(value: Any) -> bytes:
    # bool before int: bool is an int subclass.
    if value is True:
        return bytes([_TRUE])
    if value is False:
        return bytes([_FALSE])
    if isinstance(value, Timestamp):
        return bytes([_TIMESTAMP]) + struct.pack(">q", value)
    if isinstance(value, int):
        if -(2**31) <= value < 2**31:
            return bytes([_INT]) + struct.pack(">i", value)
        return bytes([_LONG]) + struct.pack(">q", value)
    if isinstance(value, uuid.UUID):
        return bytes([_UUID]) + value.bytes
    if isinstance(value, str):
        data = value.encode("utf-8")
        return bytes([_STRING]) + struct.pack(">H", len(data)) + data
    if isinstance(value, (bytes, bytearray)):
        return bytes([_BYTES]) + struct.pack(">H", len(value)) + bytes(value)
    raise TypeError(f"no event-stream header type for {type(value).__name__}")


def encode_headers(headers: Mapping[str, Any]) -> bytes:
    parts = []
    for name, value in headers.items():
        raw_name = name.encode("utf-8")
        if len(raw_name) > 255:
            raise ValueError(f"header name longer than 255 bytes: {name!r}")
        parts.append(bytes([len(raw_name)]) + raw_name + _encode_value(value))
    return b"".join(parts)


def encode_message(headers: Mapping[str, Any], payload: bytes = b"") -> bytes:
    header_bytes = encode_headers(headers)
    total_length = PRELUDE_LENGTH + len(header_bytes) + len(payload) + 4
    prelude = struct.pack(">II", total_length, len(header_bytes))
    head = prelude + struct.pack(">I", crc32(prelude)) + header_bytes + payload
    return head + struct.pack(">I", crc32(head))


def _json(body: Mapping[str, Any]) -> bytes:
    return json.dumps(body, separators=(",", ":")).encode("utf-8")


def event(event_type: str, body: Mapping[str, Any]) -> bytes:
    """A modelled event whose JSON body is the event member's structure."""
    return encode_message(
        {":message-type": "event", ":event-type": event_type, ":content-type": "application/json"},
        _json(body),
    )


def exception(exception_type: str, message: str) -> bytes:
    """A modelled exception inside the stream (its member name, e.g. "throttlingException")."""
    return encode_message(
        {":message-type": "exception", ":exception-type": exception_type, ":content-type": "application/json"},
        _json({"message": message}),
    )


def error(code: str, message: str) -> bytes:
    """An unmodelled error inside the stream."""
    return encode_message({":message-type": "error", ":error-code": code, ":error-message": message})
