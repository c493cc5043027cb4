#!/usr/bin/env python3
"""Drives flashwire-sim through its pseudo-terminals like a host.

PORT_PATH alone: UART A like a host's boot stage with a passive boot ROM:
115200 raw, '?' pings until three '!' in a row, '#', the "info" command frame,
and the framed reply checked to the byte (length, CRC-32, end marker); one
4 KiB "data" command; both exchanges must take at least their time on the
wire. Then it closes the port, opens it again and checks that the phone still
answers ("sync" -> "-()-").

--transfer PORT_A PORT_B: wakes a passive boot ROM of type 2 on UART A, loads
an image without a loader signature (the daemon runs it as the flash loader
unless started with --require-loader-signature), sets the loader up with the
chips of its "INFO" answer,
opens the 8 KiB sector 0 of chip 0 and sends it with one "TXDT" in two
streams: the frame and stream 0 on UART A and, immediately after, stream 1 on
UART B (so stream 1 starts while the frame is still on the line). The "TXDT"
answer (streams complete, their CRCs right) and the "CLOS" answer (sector
programmed and read back) must be "+ok!".

--expect-halt PORT_A: loads the same unsigned image and checks that the phone
then stays silent (probes, pings and "SYNC" unanswered for half a second).

Plain Python: os, termios, select, struct, time. Exit 0 on success; on failure
a message on stderr and exit 1.

usage: sim_daemon_client.py PORT_PATH
       sim_daemon_client.py --transfer PORT_A PORT_B
       sim_daemon_client.py --expect-halt PORT_A
"""
import os
import select
import struct
import sys
import termios
import time

BAUD = 115200
FRAME_BITS = 10  # 8N1


def fail(message):
    sys.stderr.write("sim_daemon_client: FAIL: " + message + "\n")
    sys.exit(1)


def crc32_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


TABLE = crc32_table()


def crc32(data):
    """The framing CRC: reflected table, register seeded with 1, no final XOR."""
    crc = 1
    for b in data:
        crc = TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc


def open_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = attrs
    iflag = 0
    oflag = 0
    lflag = 0
    cflag = termios.CS8 | termios.CREAD | termios.CLOCAL
    cc = list(cc)
    cc[termios.VMIN] = 0
    cc[termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW,
                      [iflag, oflag, cflag, lflag, termios.B115200, termios.B115200, cc])
    termios.tcflush(fd, termios.TCIOFLUSH)
    return fd


def write_all(fd, data):
    view = memoryview(data)
    deadline = time.monotonic() + 2.0
    while view:
        try:
            n = os.write(fd, view)
            view = view[n:]
        except BlockingIOError:
            if time.monotonic() > deadline:
                fail("write blocked for 2 s")
            select.select([], [fd], [], 0.05)


def read_byte(fd, deadline):
    """One byte, or None at the deadline."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        readable, _, _ = select.select([fd], [], [], left)
        if readable:
            try:
                data = os.read(fd, 1)
            except BlockingIOError:
                continue
            if data:
                return data[0]


def read_exactly(fd, count, deadline, what):
    out = bytearray()
    while len(out) < count:
        b = read_byte(fd, deadline)
        if b is None:
            fail("timed out reading %s (%d of %d bytes: %s)" % (what, len(out), count, out.hex()))
        out.append(b)
    return bytes(out)


def wait_for_token(fd, token, deadline):
    """Skips bytes until the four bytes of token have arrived in a row."""
    window = b""
    skipped = 0
    while True:
        b = read_byte(fd, deadline)
        if b is None:
            fail("timed out waiting for %r (skipped %d bytes)" % (token, skipped))
        window = (window + bytes([b]))[-4:]
        if window == token:
            return
        skipped += 1


def wake_boot_rom(fd):
    """Pings until three '!' arrive without another byte in between."""
    deadline = time.monotonic() + 5.0
    in_a_row = 0
    pings = 0
    while in_a_row < 3:
        if time.monotonic() > deadline:
            fail("no three '!' answers within 5 s (%d pings sent)" % pings)
        write_all(fd, b"?")
        pings += 1
        b = read_byte(fd, time.monotonic() + 0.01)
        if b is None:
            continue
        in_a_row = in_a_row + 1 if b == 0x21 else 0
    write_all(fd, b"#")
    return pings


def request_info(fd):
    frame = bytes.fromhex("69 6E 66 6F 00 00 00 00 28 70 63 29")
    start = time.monotonic()
    write_all(fd, frame)
    deadline = start + 4.0
    wait_for_token(fd, b"resp", deadline)
    wait_for_token(fd, b"info", deadline)
    status = read_exactly(fd, 4, deadline, "reply status")
    if status != b"+ok+":
        fail("info reply status %r, expected '+ok+'" % status)
    (length,) = struct.unpack("<I", read_exactly(fd, 4, deadline, "reply length"))
    if not 16 <= length <= 24:
        fail("info reply length %d outside 16..24" % length)
    payload = read_exactly(fd, length, deadline, "reply payload")
    (crc,) = struct.unpack("<I", read_exactly(fd, 4, deadline, "reply CRC"))
    if crc != crc32(payload):
        fail("info reply CRC 0x%08x, computed 0x%08x over %s" % (crc, crc32(payload), payload.hex()))
    end = read_exactly(fd, 4, deadline, "end marker")
    if end != b"(hw)":
        fail("info reply ends with %r, expected '(hw)'" % end)
    elapsed = time.monotonic() - start
    # The bytes cross the line at 115200 baud: 12 out, at least
    # "resp" "info" "+ok+" length, M bytes, CRC, "(hw)" back. Whatever the
    # model's reaction time, the exchange cannot be faster.
    on_the_wire = (12 + 24 + length) * FRAME_BITS / BAUD
    if elapsed < on_the_wire * 0.98:
        fail("info exchange took %.2f ms, faster than its %.2f ms on the wire: not paced"
             % (elapsed * 1e3, on_the_wire * 1e3))
    words = struct.unpack("<%dI" % (length // 4), payload[: length // 4 * 4])
    return length, words, elapsed, on_the_wire


def send_data_block(fd):
    """One "data" command of 4096 bytes for RAM address 0x00080000: the longest
    stretch of line time in this test, so the pacing shows: 4124 bytes out and
    20 back take 360 ms at 115200 baud."""
    block = bytes((i * 7 + 3) & 0xFF for i in range(4096))
    payload = struct.pack("<II", 0x00080000, len(block)) + block
    frame = b"data" + struct.pack("<I", len(payload)) + payload + struct.pack("<I", crc32(payload)) + b"(pc)"
    start = time.monotonic()
    write_all(fd, frame)
    deadline = start + 4.0
    wait_for_token(fd, b"resp", deadline)
    wait_for_token(fd, b"data", deadline)
    status = read_exactly(fd, 4, deadline, "reply status")
    if status != b"+ok+":
        fail("data reply status %r, expected '+ok+'" % status)
    (length,) = struct.unpack("<I", read_exactly(fd, 4, deadline, "reply length"))
    if length != 0:
        fail("data reply carries %d bytes, expected none" % length)
    end = read_exactly(fd, 4, deadline, "end marker")
    if end != b"(hw)":
        fail("data reply ends with %r, expected '(hw)'" % end)
    elapsed = time.monotonic() - start
    on_the_wire = (len(frame) + 20) * FRAME_BITS / BAUD
    if elapsed < on_the_wire * 0.98:
        fail("data exchange took %.1f ms, faster than its %.1f ms on the wire: not paced"
             % (elapsed * 1e3, on_the_wire * 1e3))
    return elapsed, on_the_wire


def write_both(fd_a, data_a, fd_b, data_b):
    """Writes data_a to fd_a and data_b to fd_b, taking turns, A first, so
    that B's bytes start as soon as A's first ones have been taken."""
    views = [(fd_a, memoryview(data_a)), (fd_b, memoryview(data_b))]
    deadline = time.monotonic() + 5.0
    while any(view for _, view in views):
        for i, (fd, view) in enumerate(views):
            if view:
                try:
                    views[i] = (fd, view[os.write(fd, view):])
                except BlockingIOError:
                    pass
        if time.monotonic() > deadline:
            fail("writes blocked for 5 s")
        waiting = [fd for fd, view in views if view]
        if waiting:
            select.select([], waiting, [], 0.05)


def boot_command(fd, command, payload):
    """A boot loader frame ("data", "done") answered "+ok+" without payload."""
    frame = command + struct.pack("<I", len(payload))
    if payload:
        frame += payload + struct.pack("<I", crc32(payload))
    write_all(fd, frame + b"(pc)")
    deadline = time.monotonic() + 4.0
    wait_for_token(fd, b"resp", deadline)
    answer = read_exactly(fd, 12, deadline, "%s reply" % command)
    if answer[:8] != command + b"+ok+" or answer[8:] != bytes(4):
        fail("%s answered %r" % (command, answer))
    if read_exactly(fd, 4, deadline, "end marker") != b"(hw)":
        fail("%s reply without '(hw)'" % command)


def loader_frame(command, payload):
    frame = command + struct.pack("<I", len(payload))
    if payload:
        frame += payload + struct.pack("<I", crc32(payload))
    return frame + b"EOT."


def loader_reply(fd, command, seconds=5.0):
    """The flash loader's answer to command: (status, payload), CRC and end
    marker checked."""
    deadline = time.monotonic() + seconds
    wait_for_token(fd, b"rply", deadline)
    head = read_exactly(fd, 12, deadline, "%s reply" % command)
    if head[:4] != command:
        fail("reply for %r, expected %r" % (head[:4], command))
    (length,) = struct.unpack("<I", head[8:12])
    if length > 4096:
        fail("%s reply announces %d bytes" % (command, length))
    payload = read_exactly(fd, length, deadline, "%s payload" % command) if length else b""
    if length and struct.unpack("<I", read_exactly(fd, 4, deadline, "CRC"))[0] != crc32(payload):
        fail("%s reply CRC wrong" % command)
    if read_exactly(fd, 4, deadline, "end marker") != b"eom.":
        fail("%s reply without 'eom.'" % command)
    return head[4:8], payload


def loader_command(fd, command, payload=b"", seconds=5.0):
    """A flash loader command that must be answered "+ok!"; returns the payload."""
    write_all(fd, loader_frame(command, payload))
    status, answer = loader_reply(fd, command, seconds)
    if status != b"+ok!":
        fail("%s answered %r, error record %s" % (command, status, answer.hex()))
    return answer


def load_unsigned_image(fd):
    """Wakes the passive boot ROM and loads 3000 bytes without a signature."""
    wake_boot_rom(fd)
    image = bytes((i * 7) & 0xFF for i in range(3000))
    boot_command(fd, b"data", struct.pack("<II", 0, len(image)) + image)
    boot_command(fd, b"done", b"")
    time.sleep(0.05)  # a loaded program starts 5 ms after the answer


def expect_halt(path):
    fd = open_port(path)
    try:
        load_unsigned_image(fd)
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            write_all(fd, b"*?SYNC")
            b = read_byte(fd, time.monotonic() + 0.05)
            if b is not None:
                fail("the phone answered 0x%02x after an unsigned image" % b)
        print("halted: no answer after an unsigned image")
    finally:
        os.close(fd)


def transfer(path_a, path_b):
    fd_a, fd_b = open_port(path_a), open_port(path_b)
    try:
        load_unsigned_image(fd_a)
        info = struct.unpack("<29I", loader_command(fd_a, b"INFO", bytes(36)))
        chips = min(info[1], 4)
        setup = struct.pack("<I", 1)
        for i in range(4):
            amd_maker, amd_device = (info[2 + 5 * i], info[3 + 5 * i]) if i < chips else (0, 0)
            setup += struct.pack("<II", amd_device, (amd_maker >> 16 & 0xFF) << 24)
        loader_command(fd_a, b"SETP", setup)
        first_address, size, first = info[6], 8192, 5461
        loader_command(fd_a, b"OPEN", struct.pack("<5I", 0, first_address, size, 0x11, 0xFF))
        data = bytes((i * 13 + 5) & 0xFF for i in range(size))
        s0, s1 = data[:first], data[first:]
        table = struct.pack("<4I", first_address, size, 1, 2)
        table += struct.pack("<4I", 0, 0, first, crc32(s0)) + struct.pack("<4I", 1, first, size - first, crc32(s1))
        write_both(fd_a, loader_frame(b"TXDT", table) + s0, fd_b, s1)
        status, record = loader_reply(fd_a, b"TXDT")
        if status != b"+ok!":
            fail("TXDT answered %r, error record %s" % (status, record.hex()))
        loader_command(fd_a, b"CLOS", struct.pack("<I", 0), 10.0)  # programmed and read back
        print("transfer: 8 KiB in two streams (%d bytes on A, %d on B) written and verified" % (first, size - first))
    finally:
        os.close(fd_a)
        os.close(fd_b)


def resync(fd):
    write_all(fd, b"sync")
    wait_for_token(fd, b"-()-", time.monotonic() + 2.0)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--transfer":
        transfer(sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) == 3 and sys.argv[1] == "--expect-halt":
        expect_halt(sys.argv[2])
        return
    if len(sys.argv) != 2:
        fail("usage: sim_daemon_client.py PORT_PATH | --transfer PORT_A PORT_B | --expect-halt PORT_A")
    path = sys.argv[1]
    fd = open_port(path)
    try:
        pings = wake_boot_rom(fd)
        length, words, elapsed, wire = request_info(fd)
        print("info: %d bytes, words %s, %.2f ms (%.2f ms on the wire), after %d pings"
              % (length, " ".join("0x%08x" % w for w in words), elapsed * 1e3, wire * 1e3, pings))
        elapsed, wire = send_data_block(fd)
        print("data: 4096 bytes accepted in %.1f ms (%.1f ms on the wire)" % (elapsed * 1e3, wire * 1e3))
    finally:
        os.close(fd)
    # A host that closes the port and opens it again still reaches the phone.
    fd = open_port(path)
    try:
        resync(fd)
        length2, words2, _, _ = request_info(fd)
        if (length2, words2) != (length, words):
            fail("second info reply differs from the first")
        print("reopened: sync answered, info unchanged")
    finally:
        os.close(fd)


if __name__ == "__main__":
    main()
