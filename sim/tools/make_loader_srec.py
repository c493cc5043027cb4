#!/usr/bin/env python3
"""Writes the loader S-record files the simulated phone recognises.

A loader image starts with its signature: the seven ASCII bytes "FWSETUP"
(setup loader) or "FWFLASH" (flash loader), then a NUL, the version as two
bytes (major, minor) and a short description; the rest is filler that stands
for the program (deterministic, so the files never change).

Usage: make_loader_srec.py KIND BASE SIZE[,GAP,SIZE...] VERSION TEXT OUT
  KIND    setup | flash
  BASE    load address of the first range (hex with 0x, or decimal)
  SIZE    byte count of a range; GAP the bytes skipped before the next range
"""
import sys


def srecord(address, data):
    count = len(data) + 5
    body = bytes([count]) + address.to_bytes(4, "big") + data
    checksum = (~sum(body)) & 0xFF
    return "S3" + body.hex().upper() + "%02X" % checksum


def main():
    kind, base, layout, version, text, out = sys.argv[1:7]
    base = int(base, 0)
    sizes = [int(v, 0) for v in layout.split(",")]
    major, minor = (int(v) for v in version.split("."))
    signature = (b"FWSETUP" if kind == "setup" else b"FWFLASH") + b"\0" + bytes([major, minor]) + text.encode() + b"\0"
    total = sum(sizes[0::2])
    # Filler: a small linear congruential sequence, the same on every run.
    x, image = 0x1234567, bytearray(signature)
    while len(image) < total:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        image.append((x >> 16) & 0xFF)
    lines = ["S0" + (lambda b: "%02X" % (len(b) + 3) + "0000" + b.hex().upper() + "%02X" % ((~(len(b) + 3 + sum(b))) & 0xFF))(text.encode())]
    address, offset = base, 0
    for i in range(0, len(sizes), 2):
        size = sizes[i]
        for k in range(0, size, 32):
            lines.append(srecord(address + k, bytes(image[offset + k:offset + min(k + 32, size)])))
        offset += size
        address += size + (sizes[i + 1] if i + 1 < len(sizes) else 0)
    start = base
    s7 = bytes([5]) + start.to_bytes(4, "big")
    lines.append("S7" + s7.hex().upper() + "%02X" % ((~sum(s7)) & 0xFF))
    with open(out, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
