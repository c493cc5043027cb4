#!/usr/bin/env python3
"""Writes a sample S-record image: SIZE bytes from ADDRESS on, in S3 records of
32 data bytes (the last one shorter when SIZE is not a multiple of 32), behind
an S0 header and followed by an S7 record with the start address.

The bytes depend only on the seed: byte i is bits 16-23 of the (i+1)-th value
of x <- (1103515245 * x + 12345) mod 2**32, starting at x = SEED.

Usage: make-sample-image.py --size 1M --address 0x0 --seed 1 -o image.s19
SIZE takes the suffix K (KiB) or M (MiB); numbers may be decimal or 0x-hex.
Without -o (or with -o -) the records go to standard output.
"""
import argparse
import sys

RECORD_DATA_BYTES = 32
HEADER = "S00600004844521B"  # S0 record with the text "HDR"


def parse_number(text):
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}")


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20}
    unit = units.get(text[-1:].upper(), 1)
    size = parse_number(text[:-1] if unit != 1 else text)
    if size * unit <= 0:
        raise argparse.ArgumentTypeError(f"size must be at least one byte: {text!r}")
    return size * unit


def sample_bytes(size, seed):
    out = bytearray(size)
    x = seed
    for i in range(size):
        x = (1103515245 * x + 12345) & 0xFFFFFFFF
        out[i] = (x >> 16) & 0xFF
    return out


def record(kind, address, data=b""):
    body = bytes([len(data) + 5]) + address.to_bytes(4, "big") + data
    checksum = ~sum(body) & 0xFF
    return f"S{kind}{body.hex().upper()}{checksum:02X}\n"


def write_image(out, address, data):
    out.write(HEADER + "\n")
    for at in range(0, len(data), RECORD_DATA_BYTES):
        out.write(record(3, address + at, data[at:at + RECORD_DATA_BYTES]))
    out.write(record(7, address))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=parse_size, required=True, help="image size in bytes (suffix K or M)")
    parser.add_argument("--address", type=parse_number, default=0, help="first address (default 0)")
    parser.add_argument("--seed", type=parse_number, default=1, help="seed of the bytes (default 1)")
    parser.add_argument("-o", "--output", default="-", help="output file (default: standard output)")
    args = parser.parse_args()

    if not 0 <= args.address <= 0xFFFFFFFF:
        parser.error("the address must lie in 0x0-0xFFFFFFFF")
    if args.address + args.size > 1 << 32:
        parser.error("the image must end at or below 0xFFFFFFFF")
    if not 0 <= args.seed <= 0xFFFFFFFF:
        parser.error("the seed must lie in 0-4294967295")

    data = sample_bytes(args.size, args.seed)
    if args.output == "-":
        write_image(sys.stdout, args.address, data)
    else:
        with open(args.output, "w", newline="\n") as out:
            write_image(out, args.address, data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
