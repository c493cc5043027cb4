#!/usr/bin/env python3
"""Wire traces compared as the replay sees them (used by trace_replay_pty.sh).

  trace_compare.py same A B
      A and B hold the same traffic: per port, the same opens, closes and
      rates and the same bytes written and read, in the same order; time
      stamps, time-outs and read time-out settings aside, and a single-byte
      write (a ping) repeated a different number of times counts once, also
      where one host stopped probing a port sooner and went on on the other.
  trace_compare.py diverged TRACE HOST_TRACE REPORT
      REPORT is the replay's "replay: diverged: ..." line for HOST_TRACE's
      host replayed against TRACE: its port, host byte N, got and expected
      bytes must be HOST_TRACE's byte N on that port, TRACE's byte at the
      reported trace offset (a different one), and the two traces' writes on
      that port agree up to there (pings aside): the first byte that differs.
"""
import re
import sys


def events(path):
    out = []
    with open(path, encoding="ascii") as f:
        if f.readline().rstrip("\n") != "# flashwire wire trace 1":
            sys.exit(f"{path}: not a wire trace")
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            head = line.split("|")[0].split()
            port, kind, rest = head[1], head[2], head[3:]
            if kind in ("write", "read"):
                out.append((port, kind, bytes(int(b, 16) for b in rest)))
            elif kind in ("open", "close", "rate"):
                out.append((port, kind, " ".join(rest)))
    return out


def writes(evs, port):
    """The port's write events (bytes per write call)."""
    return [e[2] for e in evs if e[0] == port and e[1] == "write"]


def normal(evs, port):
    """The port's traffic with repeated pings counted once and data merged."""
    out = []
    last_ping = None
    for p, kind, value in evs:
        if p != port:
            continue
        if kind == "write" and len(value) == 1:
            if value == last_ping:
                continue
            last_ping = value
        elif kind in ("write", "read"):
            last_ping = None if kind == "write" else last_ping
        if kind in ("write", "read") and out and out[-1][0] == kind:
            out[-1] = (kind, out[-1][1] + value)
        else:
            out.append((kind, value))
    return out


def same(a, b):
    ea, eb = events(a), events(b)
    for port in ("p0", "p1"):
        na, nb = normal(ea, port), normal(eb, port)
        if na != nb:
            for i, (x, y) in enumerate(zip(na, nb)):
                if x != y:
                    sys.exit(f"{port}: item {i} differs: {str(x)[:120]} / {str(y)[:120]}")
            sys.exit(f"{port}: {len(na)} items / {len(nb)} items")
    print("same traffic on p0 and p1")


def collapse_pings(chunks):
    out = bytearray()
    last = None
    for c in chunks:
        if len(c) == 1 and c == last:
            continue
        last = c if len(c) == 1 else None
        out += c
    return bytes(out)


def diverged(trace, host_trace, report):
    m = re.search(r"p(\d) \(UART [AB]\): host byte (\d+) is 0x([0-9a-f]{2}), the trace has 0x([0-9a-f]{2}) "
                  r"\(trace byte (\d+), line (\d+)\)", report)
    if not m:
        sys.exit(f"not a divergence report: {report}")
    port = "p" + m.group(1)
    offset, got, expected, trace_offset = int(m.group(2)), int(m.group(3), 16), int(m.group(4), 16), int(m.group(5))
    host = b"".join(writes(events(host_trace), port))
    recorded = b"".join(writes(events(trace), port))
    if offset >= len(host) or host[offset] != got:
        sys.exit(f"the host's byte {offset} on {port} is not 0x{got:02x}")
    if recorded[trace_offset] != expected or expected == got:
        sys.exit(f"the trace's byte {trace_offset} on {port} is not 0x{expected:02x}")
    # Up to there both wrote the same, pings aside.
    host_before = collapse_pings(split_at(writes(events(host_trace), port), offset))
    trace_before = collapse_pings(split_at(writes(events(trace), port), trace_offset))
    if host_before != trace_before:
        sys.exit(f"{port}: the host and the trace differ before the reported byte")
    print(f"divergence at {port} host byte {offset} (trace byte {trace_offset}): 0x{got:02x} for 0x{expected:02x}")


def split_at(chunks, offset):
    """The write calls up to byte offset (the last one cut there)."""
    out, at = [], 0
    for c in chunks:
        if at + len(c) >= offset:
            out.append(c[: offset - at])
            break
        out.append(c)
        at += len(c)
    return out


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "same":
        same(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "diverged":
        diverged(*sys.argv[2:])
    else:
        sys.exit(__doc__)
