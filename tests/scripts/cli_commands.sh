#!/usr/bin/env bash
# The commands of `flashwire`: flash, verify and read build the same option
# strings as the raw form (one table, checked against the library's reading
# of both with --dry-run); flash, verify and read run whole jobs against
# flashwire-sim (the phone's flash and the read-back file checked);
# `flashwire platforms` lists the sample platforms (text and --json);
# `flashwire ports` lists the serial devices of a fake device tree (USB
# adapters with their IDs, strings and by-id links, a legacy UART, no empty
# UART slot or virtual terminal) and describes the daemon's pseudo-terminals.
# usage: cli_commands.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
source=$(cd "${2:?source dir}" && pwd)
cli="$build/flashwire"
sim="$build/flashwire-sim"
work=$(mktemp -d)
daemon_pid=""
cleanup() {
    kill_all "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

# ---- Commands and raw option strings ----------------------------------------
# command arguments | the option string it gives | raw arguments of the same job
P="--platform demo-passive"
rows=(
    "flash $P --port /dev/a img.s19|/mode=flash /platform=demo-passive /com=1 /file=img.s19 /diff=0|--port COM1=/dev/a /mode=flash /platform=demo-passive /com=1 /file=img.s19 /diff=0"
    "flash $P --port /dev/a --port /dev/b --baud 921600 --diff img.s19|/mode=flash /platform=demo-passive /com=1,2 /maxspeed=921600,921600 /file=img.s19 /diff=1|--port COM1=/dev/a --port COM2=/dev/b /com=1,2 /mode=flash /file=img.s19 /platform=demo-passive /maxspeed=921600,921600"
    "flash $P --port COM3=/dev/a --erase-unused --reserved 0x7e000-0x7ffff --reserved 0-0xff img.s19|/mode=flash /platform=demo-passive /com=3 /file=img.s19 /reserved=0x7e000-0x7ffff /reserved=0-0xff /diff=0 /eraseunused=1|--port COM3=/dev/a /platform=demo-passive /mode=flash /com=3 /file=img.s19 /reserved=0-0xff /reserved=0x7e000-0x7ffff /diff=0 /eraseunused=1"
    "flash $P --port /dev/a --no-retry --phases bl img.s19|/mode=flash /platform=demo-passive /com=1 /file=img.s19 /diff=0 /noretry=1 /phases=bl|--port COM1=/dev/a /mode=flash /platform=demo-passive /com=1 /file=img.s19 /diff=0 /noretry=1 /phases=bl"
    "verify $P --port /dev/a --baud 460800 img.s19|/mode=verify /platform=demo-passive /com=1 /maxspeed=460800 /file=img.s19|--port COM1=/dev/a -mode:verify -platform:demo-passive -com:1 -maxspeed:460800 -file:img.s19"
    "verify $P --port /dev/a --phases fl --debug img.s19|/mode=verify /platform=demo-passive /com=1 /file=img.s19 /phases=fl /debug=1|--port COM1=/dev/a /mode=verify /platform=demo-passive /com=1 /file=img.s19 /phases=fl /debug=1"
    "read $P --port /dev/a 0x0-0xffff -o out.s19|/mode=read /platform=demo-passive /com=1 /savefile=out.s19 /read=0x0-0xffff|--port COM1=/dev/a /mode=read /platform=demo-passive /com=1 /savefile=out.s19 /read=0x0-0xffff"
    "read $P --port /dev/a --port /dev/b 0-0x1fff 0x10000-0x1ffff --output out.s19|/mode=read /platform=demo-passive /com=1,2 /savefile=out.s19 /read=0-0x1fff /read=0x10000-0x1ffff|--port COM1=/dev/a --port COM2=/dev/b /mode=read /platform=demo-passive /com=1,2 /suckfile=out.s19 /read=0x10000-0x1ffff /read=0-0x1fff"
)
n=0
failed_before=$failures
for row in "${rows[@]}"; do
    IFS='|' read -r command expected raw <<<"$row"
    read -r -a command_args <<<"$command"
    read -r -a raw_args <<<"$raw"
    n=$((n + 1))
    "$cli" --dry-run "${command_args[@]}" > "$work/command.out" 2>&1; s1=$?
    "$cli" --dry-run "${raw_args[@]}" > "$work/raw.out" 2>&1; s2=$?
    given=$(sed -n 's/^flashwire: option string: //p' "$work/command.out")
    read1=$(sed -n 's/^flashwire: as the library reads it: //p' "$work/command.out")
    read2=$(sed -n 's/^flashwire: as the library reads it: //p' "$work/raw.out")
    if [ $s1 -ne 0 ] || [ $s2 -ne 0 ] || [ "$given" != "$expected" ] || [ -z "$read1" ] || [ "$read1" != "$read2" ]; then
        fail "row $n: $command"
        echo "  option string:  $given"
        echo "  expected:       $expected"
        echo "  read (command): $read1"
        echo "  read (raw):     $read2"
        show "$work/command.out" "$work/raw.out"
    fi
done
[ $failures -eq $failed_before ] && pass "$n commands give the option strings of the table, read by the library as their raw forms"

# -v shows the option string of a command before the job.
"$cli" -v verify --platform demo-passive --port "$work/none" "$work/img.s19" > "$work/v.out" 2>&1
if grep -qxF "flashwire: option string: /mode=verify /platform=demo-passive /com=1 /file=$work/img.s19" "$work/v.out" &&
   grep -q "^\[0\] /mode=verify" "$work/v.out"; then
    pass "-v: the option string and the level-0 echoes"
else
    fail "-v option string"; show "$work/v.out"
fi

# Every command has its own help with examples.
for c in flash verify read platforms ports; do
    if ! "$cli" "$c" --help > "$work/help" 2>&1 || ! grep -q "^Usage: flashwire $c" "$work/help" ||
       ! grep -q "^Examples:" "$work/help" || ! grep -q "^  flashwire $c" "$work/help"; then
        fail "$c --help"; show "$work/help"
    fi
done
pass "flash, verify, read, platforms and ports --help: usage and examples"

# ---- Whole jobs through the commands -----------------------------------------
link_a="$work/uart-a"
link_b="$work/uart-b"
flash="$work/phone.flash"
start_daemon() {
    rm -f "$work/sim.out" "$work/sim.err"  # no earlier daemon's "ready" taken for this one's
    "$sim" --platform demo-passive --config-dir "$build" --link "$link_a" --link "$link_b" --flash-file "$flash" \
        > "$work/sim.out" 2> "$work/sim.err" &
    daemon_pid=$!
    wait_ready "$work/sim.out" "$daemon_pid" && return 0
    fail "the daemon did not get ready"; show "$work/sim.err"
    return 1
}
stop_daemon() {
    kill -TERM "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
    daemon_pid=""
}
# The data bytes of an S-record file's S3 records, in file order.
srec_data() {
    python3 -c '
import sys
data = bytearray()
for line in open(sys.argv[1]):
    if line.startswith("S3"):
        data += bytes.fromhex(line.strip()[2:])[5:-1]
sys.stdout.buffer.write(data)' "$1"
}
python3 "$source/scripts/make-sample-image.py" --size 24K --address 0x8000 --seed 5 -o "$work/image.s19" > /dev/null
srec_data "$work/image.s19" > "$work/image.bin"
job=(--platform demo-passive --port "$link_a" --port "$link_b" --baud 921600)
if start_daemon; then
    "$cli" flash "${job[@]}" "$work/image.s19" > "$work/flash.out" 2>&1; status=$?
    stop_daemon
    if [ $status -eq 0 ] && cmp -s -i $((0x8000)):0 -n $((24 * 1024)) "$flash" "$work/image.bin"; then
        pass "flashwire flash over two ports: the phone's flash holds the image"
    else
        fail "flashwire flash: status $status"; show "$work/flash.out"
    fi
fi
if start_daemon; then
    "$cli" verify "${job[@]}" "$work/image.s19" > "$work/verify.out" 2>&1; status=$?
    stop_daemon
    if [ $status -eq 0 ] && grep -q "^status: All is well !" "$work/verify.out"; then
        pass "flashwire verify: the image matches"
    else
        fail "flashwire verify: status $status"; show "$work/verify.out"
    fi
fi
if start_daemon; then
    "$cli" read "${job[@]}" 0x8000-0xdfff -o "$work/back.s19" > "$work/read.out" 2>&1; status=$?
    stop_daemon
    if [ $status -eq 0 ] && srec_data "$work/back.s19" | cmp -s - "$work/image.bin"; then
        pass "flashwire read: the S-record file holds the image"
    else
        fail "flashwire read: status $status"; show "$work/read.out"
    fi
fi

# ---- platforms ---------------------------------------------------------------
"$cli" platforms > "$work/platforms" 2>&1; status=$?
if [ $status -eq 0 ] && grep -qx "demo-passive" "$work/platforms" &&
   grep -qx "  flash bank 1:  0x1000000, 4 MiB" "$work/platforms" &&
   grep -qx "  setup loader:  loaders/setup_loader.s19" "$work/platforms" &&
   grep -q "^  chip:          0x0057_0x00008810 Demo NOR 32 Mbit" "$work/platforms" &&
   [ "$(grep -c '^\[' "$build/platform.def")" -eq "$(grep -c '^demo-' "$work/platforms")" ]; then
    pass "flashwire platforms: every section with its boot loader, loaders, banks and chips"
else
    fail "flashwire platforms: status $status"; show "$work/platforms"
fi
"$cli" platforms --json > "$work/platforms.json" 2>&1
if python3 -c '
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["type"] == "platforms"
by = {p["name"]: p for p in doc["platforms"]}
assert by["demo-active"]["boot_loader"] == "active", by["demo-active"]
assert by["demo-passive"]["flash_banks"] == ["0x0, 8 MiB", "0x1000000, 4 MiB"], by["demo-passive"]
' "$work/platforms.json"; then
    pass "flashwire platforms --json"
else
    fail "platforms --json"; show "$work/platforms.json"
fi

# ---- ports on a fake device tree ---------------------------------------------
fake_sys="$work/sys"
fake_dev="$work/dev"
mkdir -p "$fake_sys/class/tty" "$fake_dev/serial/by-id" "$fake_sys/bus/usb-serial/drivers/ftdi_sio" \
    "$fake_sys/bus/usb/drivers/cdc_acm" "$fake_sys/bus/pnp/drivers/serial"
# An FTDI-like adapter (ttyUSB0 under its interface) and a CDC-ACM board.
ftdi="$fake_sys/devices/pci0000:00/0000:00:14.0/usb1/1-2"
acm="$fake_sys/devices/pci0000:00/0000:00:14.0/usb1/1-3"
mkdir -p "$ftdi/1-2:1.0/ttyUSB0" "$acm/1-3:1.0"
printf '0403\n' > "$ftdi/idVendor"; printf '6001\n' > "$ftdi/idProduct"; printf 'A10K3ZQ1\n' > "$ftdi/serial"
printf 'Maker Ltd\n' > "$ftdi/manufacturer"; printf 'USB UART\n' > "$ftdi/product"
ln -s ../../../../../../bus/usb-serial/drivers/ftdi_sio "$ftdi/1-2:1.0/ttyUSB0/driver"
ln -s ../../../../../../bus/usb-serial "$ftdi/1-2:1.0/ttyUSB0/subsystem"
printf '2e8a\n' > "$acm/idVendor"; printf '000a\n' > "$acm/idProduct"; printf 'Board\n' > "$acm/product"
ln -s ../../../../../bus/usb/drivers/cdc_acm "$acm/1-3:1.0/driver"
ln -s ../../../../../bus/usb "$acm/1-3:1.0/subsystem"
# A UART on the board, and a legacy slot without a UART (type 0).
uart="$fake_sys/devices/pnp0/00:01"
mkdir -p "$uart"
ln -s ../../../bus/pnp/drivers/serial "$uart/driver"
ln -s ../../../bus/pnp "$uart/subsystem"
for t in ttyUSB0 ttyACM0 ttyS0 ttyS1 tty1; do mkdir "$fake_sys/class/tty/$t"; done
ln -s ../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0 "$fake_sys/class/tty/ttyUSB0/device"
ln -s ../../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0 "$fake_sys/class/tty/ttyACM0/device"
ln -s ../../../devices/pnp0/00:01 "$fake_sys/class/tty/ttyS0/device"
printf '4\n' > "$fake_sys/class/tty/ttyS0/type"
ln -s ../../../devices/pnp0/00:01 "$fake_sys/class/tty/ttyS1/device"
printf '0\n' > "$fake_sys/class/tty/ttyS1/type"
ln -s ../../ttyUSB0 "$fake_dev/serial/by-id/usb-Maker_Ltd_USB_UART_A10K3ZQ1-if00-port0"

"$cli" ports --sysfs "$fake_sys" --dev "$fake_dev" > "$work/ports" 2>&1; status=$?
{
    echo "$fake_dev/ttyACM0  usb  driver cdc_acm  2e8a:000a"
    echo "    Board"
    echo "$fake_dev/ttyS0  pnp  driver serial"
    echo "$fake_dev/ttyUSB0  usb  driver ftdi_sio  0403:6001  serial A10K3ZQ1"
    echo "    Maker Ltd USB UART"
    echo "    $fake_dev/serial/by-id/usb-Maker_Ltd_USB_UART_A10K3ZQ1-if00-port0"
} > "$work/ports.expected"
if [ $status -eq 0 ] && diff "$work/ports.expected" "$work/ports" > "$work/ports.diff"; then
    pass "flashwire ports on a fake device tree: USB adapters with IDs, strings and by-id link, a UART; no empty slot or virtual terminal"
else
    fail "flashwire ports on a fake tree: status $status"; cat "$work/ports.diff"
fi
"$cli" ports --json --sysfs "$fake_sys" --dev "$fake_dev" > "$work/ports.json" 2>&1
if python3 -c '
import json, sys
doc = json.load(open(sys.argv[1]))
dev = sys.argv[2]
by = {p["device"]: p for p in doc["ports"]}
assert sorted(by) == [dev + "/ttyACM0", dev + "/ttyS0", dev + "/ttyUSB0"], sorted(by)
u = by[dev + "/ttyUSB0"]
assert (u["kind"], u["driver"], u["vendor_id"], u["product_id"], u["serial_number"], u["manufacturer"], u["product"]) == \
    ("usb", "ftdi_sio", "0403", "6001", "A10K3ZQ1", "Maker Ltd", "USB UART"), u
assert u["by_id"].endswith("/usb-Maker_Ltd_USB_UART_A10K3ZQ1-if00-port0"), u
' "$work/ports.json" "$fake_dev"; then
    pass "flashwire ports --json on the fake tree"
else
    fail "ports --json"; show "$work/ports.json"
fi

# ---- ports on the daemon's pseudo-terminals ----------------------------------
if start_daemon; then
    pts_a=$(readlink "$link_a")
    "$cli" ports "$link_a" "$link_b" > "$work/pty.out" 2>&1; status=$?
    "$cli" ports --json "$link_a" "$work/no-such-tty" > "$work/pty.json" 2>&1; json_status=$?
    stop_daemon
    if [ $status -eq 0 ] && grep -qxF "$link_a -> $pts_a  pseudo-terminal" "$work/pty.out" &&
       [ "$(grep -c '^    opens as a serial port$' "$work/pty.out")" -eq 2 ] && [ $json_status -eq 2 ] &&
       python3 -c '
import json, sys
doc = json.load(open(sys.argv[1]))
a, b = doc["ports"]
assert (a["device"], a["target"], a["kind"], a["problem"]) == (sys.argv[2], sys.argv[3], "pseudo-terminal", ""), a
assert b["problem"].startswith("No such file or directory"), b
' "$work/pty.json" "$link_a" "$pts_a"; then
        pass "flashwire ports DEVICE: the daemon's links lead to pseudo-terminals that open; a missing one is named (exit 2)"
    else
        fail "ports on ptys: status $status/$json_status"; show "$work/pty.out" "$work/pty.json"
    fi
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
