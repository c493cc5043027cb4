"""Shared helpers of the Python package's tests: S-record images and simulated phones."""

from __future__ import annotations

import random
from pathlib import Path
from typing import Callable, Iterator

import pytest

from flashwire.sim import Phone

PLATFORM = "demo-passive"
BAUD = 921600
# Every job of the tests is bounded: a phone that never answers fails the
# test with a time-out instead of holding up the suite.
JOB_TIMEOUT = 30.0


def srecords(address: int, data: bytes) -> str:
    """S3 records of 32 data bytes behind an S0 header, ended by an S7 record."""

    def record(kind: str, body: bytes) -> str:
        body = bytes([len(body) + 1]) + body
        return f"{kind}{body.hex().upper()}{0xFF - (sum(body) & 0xFF):02X}"

    lines = [record("S0", b"\0\0HDR")]
    for offset in range(0, len(data), 32):
        lines.append(record("S3", (address + offset).to_bytes(4, "big") + data[offset : offset + 32]))
    lines.append(record("S7", address.to_bytes(4, "big")))
    return "\n".join(lines) + "\n"


def read_srecords(path: Path) -> dict[int, int]:
    """The bytes of an S-record file by address (S1/S2/S3 data records)."""
    memory: dict[int, int] = {}
    for line in path.read_text().split():
        kind, raw = line[:2], bytes.fromhex(line[2:])
        width = {"S1": 2, "S2": 3, "S3": 4}.get(kind)
        if width:
            address = int.from_bytes(raw[1 : 1 + width], "big")
            for i, b in enumerate(raw[1 + width : -1]):
                memory[address + i] = b
    return memory


@pytest.fixture
def make_image(tmp_path: Path) -> Callable[..., tuple[Path, bytes]]:
    """Writes an image of random bytes; returns its path and its data."""

    def make(name: str = "image.s19", address: int = 0x10000, size: int = 8192, seed: int = 1) -> tuple[Path, bytes]:
        data = random.Random(seed).randbytes(size)
        path = tmp_path / name
        path.write_text(srecords(address, data))
        return path, data

    return make


@pytest.fixture
def phone() -> Iterator[Phone]:
    """A running simulated phone (demo-passive); stopped and removed afterwards."""
    p = Phone(PLATFORM)
    with p:
        yield p
    p.close()
