#!/usr/bin/env bash
# One flashwire-sim daemon, many jobs of the flashwire command line in a row,
# as at a bench: after each job's end byte the phone restarts into its boot
# ROM, so flash, verify and read follow each other without restarting the
# daemon; an end byte the daemon reads only after the port was closed and
# reopened at another rate; the same with a power cycle (SIGUSR1) before each job; and a power
# cycle in the middle of a flash: that job fails (bounded by --timeout, since
# the library waits up to 30 s for a sector it closed), the next flash of the
# same phone succeeds and the flash file at exit holds the last image.
# usage: sim_daemon_jobs_in_a_row.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
source=${2:?source dir}
cli="$build/flashwire"
sim="$build/flashwire-sim"
work=$(mktemp -d)
daemon_pid=""
cli_pid=""
platform=demo-passive

cleanup() {
    kill_all "$cli_pid" "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

[ -x "$cli" ] || { echo "FAIL: $cli is missing"; exit 1; }
[ -x "$sim" ] || { echo "FAIL: $sim is missing"; exit 1; }

ports=(--port "COM1=$work/uart-a" --port "COM2=$work/uart-b")
common=(/platform=$platform /com=1,2 /maxspeed=921600,921600)
make_image() {  # path size seed
    python3 "$source/scripts/make-sample-image.py" --size "$2" --address 0x0 --seed "$3" -o "$1" >/dev/null
}
small_a="$work/a.s19"
small_b="$work/b.s19"
large="$work/large.s19"
make_image "$small_a" 24K 1
make_image "$small_b" 24K 2
make_image "$large" 256K 3

"$sim" --platform "$platform" --config-dir "$build" --instant-flash --link "$work/uart-a" --link "$work/uart-b" \
    --flash-file "$work/phone.flash" > "$work/sim.out" 2> "$work/sim.err" &
daemon_pid=$!
wait_ready "$work/sim.out" "$daemon_pid" || { fail "the daemon did not get ready"; show "$work/sim.err"; exit 1; }

# Waits for the count of lines starting with $1 on the daemon's output to reach $2 (2 s).
wait_lines() {
    for _ in $(seq 1 40); do
        [ "$(grep -c "^$1" "$work/sim.out")" -ge "$2" ] && return 0
        sleep 0.05
    done
    return 1
}
power_cycle() {
    local before
    before=$(grep -c "^power cycle:" "$work/sim.out")
    kill -USR1 "$daemon_pid"
    wait_lines "power cycle:" $((before + 1)) || fail "no power cycle line after SIGUSR1"
}
# Runs one job (output in $work/$1.out); sets status.
job() {
    local name=$1
    shift
    timeout 60 "$cli" "${ports[@]}" "${common[@]}" "$@" > "$work/$name.out" 2>&1
    status=$?
}
# The S-record file $1 holds the same bytes as the image $2.
same_data() {
    python3 - "$1" "$2" <<'EOF'
import sys
def data(path):
    out = {}
    for line in open(path):
        if line.startswith("S3"):
            raw = bytes.fromhex(line.strip()[2:])
            address = int.from_bytes(raw[1:5], "big")
            for k, b in enumerate(raw[5:-1]):
                out[address + k] = b
    return out
a, b = data(sys.argv[1]), data(sys.argv[2])
sys.exit(0 if a and a == b else 1)
EOF
}

# ---- Flash, verify, read in a row: the end byte brings the boot ROM back.
job flash1 /mode=flash /diff=0 "/file=$small_a"; s1=$status
job verify1 /mode=verify "/file=$small_a"; s2=$status
job read1 /mode=read /read=0x0-0x5fff "/savefile=$work/read1.s19"; s3=$status
if [ "$s1$s2$s3" = 000 ] && same_data "$work/read1.s19" "$small_a" && wait_lines "restart: end byte" 3; then
    pass "flash, verify and read in a row against one daemon"
else
    fail "jobs in a row: exits $s1 $s2 $s3"; show "$work/flash1.out" "$work/verify1.out" "$work/read1.out" "$work/sim.out"
fi

# ---- An end byte the daemon reads only after the client has closed the port,
# reopened it and set another rate (a host running jobs in a row in one
# process on a busy machine): it still counts at the rate it was written at.
# The daemon is stopped meanwhile, so it cannot read the byte in time.
job boot1 /mode=verify /phases=bl "/file=$small_a"; s1=$status
before=$(grep -c "^restart: end byte" "$work/sim.out")
python3 - "$work/uart-a" "$daemon_pid" <<'EOF' && late=ok || late=failed
import os, signal, sys, termios
port, daemon = sys.argv[1], int(sys.argv[2])
def open_at(rate):
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    t = termios.tcgetattr(fd)
    t[4] = t[5] = rate
    termios.tcsetattr(fd, termios.TCSANOW, t)
    return fd
os.kill(daemon, signal.SIGSTOP)
try:
    fd = open_at(termios.B115200)  # the flash loader's rate after the boot phase
    os.write(fd, b"o")
    os.close(fd)
    os.close(open_at(termios.B921600))
finally:
    os.kill(daemon, signal.SIGCONT)
EOF
if [ "$s1" = 0 ] && [ $late = ok ] && wait_lines "restart: end byte" $((before + 1)); then
    pass "an end byte read after the port was reopened at another rate restarts the phone"
else
    fail "late end byte: boot phase exit $s1, client $late"; show "$work/boot1.out" "$work/sim.out"
fi

# ---- The same with a power cycle before each job.
power_cycle; job flash2 /mode=flash /diff=0 "/file=$small_b"; s1=$status
power_cycle; job verify2 /mode=verify "/file=$small_b"; s2=$status
power_cycle; job read2 /mode=read /read=0x0-0x5fff "/savefile=$work/read2.s19"; s3=$status
if [ "$s1$s2$s3" = 000 ] && same_data "$work/read2.s19" "$small_b"; then
    pass "flash, verify and read with a power cycle (SIGUSR1) before each"
else
    fail "jobs after power cycles: exits $s1 $s2 $s3"
    show "$work/flash2.out" "$work/verify2.out" "$work/read2.out" "$work/sim.out"
fi

# ---- A power cycle while the flash phase runs: that job fails, the next succeeds.
"$cli" --json --timeout 7 "${ports[@]}" "${common[@]}" /mode=flash /diff=0 "/file=$large" \
    > "$work/cut.json" 2> "$work/cut.err" &
cli_pid=$!
cut=no
for _ in $(seq 1 400); do
    if grep -q '"done":65536,"total":262144' "$work/cut.json"; then
        power_cycle
        cut=yes
        break
    fi
    kill -0 "$cli_pid" 2>/dev/null || break
    sleep 0.025
done
cut_status=hung
for _ in $(seq 1 300); do
    if ! kill -0 "$cli_pid" 2>/dev/null; then
        wait "$cli_pid"
        cut_status=$?
        cli_pid=""
        break
    fi
    sleep 0.05
done
if [ $cut = yes ] && [ "$cut_status" != hung ] && [ "$cut_status" -ne 0 ] &&
   tail -n 1 "$work/cut.json" | grep -q '"type":"result"' && ! grep -q "All is well" "$work/cut.json"; then
    pass "a power cycle in the middle of a flash: the job failed cleanly (exit $cut_status)"
else
    fail "power cycle during a flash: cut $cut, exit $cut_status"; show "$work/cut.json" "$work/cut.err"
fi
job flash3 /mode=flash /diff=0 "/file=$large"; s1=$status
job verify3 /mode=verify "/file=$large"; s2=$status
if [ "$s1$s2" = 00 ]; then
    pass "the next flash of the same phone succeeds and verifies"
else
    fail "after the cut: exits $s1 $s2"; show "$work/flash3.out" "$work/verify3.out" "$work/sim.out"
fi

kill -TERM "$daemon_pid"
wait "$daemon_pid"; status=$?
daemon_pid=""
python3 - "$work/phone.flash" "$large" <<'EOF' && ok=yes || ok=no
import sys
flash = open(sys.argv[1], "rb").read()
for line in open(sys.argv[2]):
    if line.startswith("S3"):
        raw = bytes.fromhex(line.strip()[2:])
        address = int.from_bytes(raw[1:5], "big")
        if flash[address:address + len(raw) - 6] != raw[5:-1]:
            sys.exit(1)
EOF
if [ $status -eq 0 ] && [ $ok = yes ]; then
    pass "the daemon ends cleanly; its flash file holds the last image"
else
    fail "daemon exit $status, flash file holds the image: $ok"; show "$work/sim.err"
fi

[ $failures -eq 0 ] || exit 1
