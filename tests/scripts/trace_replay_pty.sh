#!/usr/bin/env bash
# The wire trace recorded and played back, in real time on pseudo-terminals:
# a flash job over two ports against flashwire-sim with `flashwire --trace`;
# the same job against `flashwire-sim --replay` of that trace succeeds, the
# replay reports "complete" and exits 0, and the host's new trace holds the
# same traffic (trace_compare.py same); a host flashing an image with one
# byte changed is reported at the first byte it wrote otherwise than the
# trace (trace_compare.py diverged; it may come before the changed data
# byte, in a check value sent ahead of it) and the replay exits 1; a file that is not a trace is
# refused.
# usage: trace_replay_pty.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
source_dir=$(cd "${2:?source dir}" && pwd)
cli="$build/flashwire"
sim="$build/flashwire-sim"
compare="$source_dir/tests/scripts/trace_compare.py"
work=$(mktemp -d)
daemon_pid=""
cli_pid=""
cleanup() {
    kill_all "$cli_pid" "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

[ -x "$cli" ] && [ -x "$sim" ] || { echo "FAIL: $cli or $sim is missing"; exit 1; }
link_a="$work/uart-a"
link_b="$work/uart-b"
job=(--port "COM1=$link_a" --port "COM2=$link_b" /platform=demo-passive /com=1,2 /maxspeed=921600,460800
     /mode=flash /diff=0)

python3 "$source_dir/scripts/make-sample-image.py" --size 16K --address 0x10000 --seed 3 -o "$work/image.s19" >/dev/null
# The same image with the byte at 0x10123 changed (0x5a; the sample has another value there).
python3 - "$work/image.s19" "$work/changed.s19" <<'PY'
import sys
lines = open(sys.argv[1]).read().splitlines()
out = []
for line in lines:
    if line.startswith("S3"):
        count = int(line[2:4], 16)
        address = int(line[4:12], 16)
        data = bytearray.fromhex(line[12:12 + 2 * (count - 5)])
        if address <= 0x10123 < address + len(data):
            assert data[0x10123 - address] != 0x5A
            data[0x10123 - address] = 0x5A
            body = bytes([count]) + address.to_bytes(4, "big") + bytes(data)
            line = "S3" + body.hex().upper() + "%02X" % (0xFF - sum(body) & 0xFF)
    out.append(line)
open(sys.argv[2], "w").write("\n".join(out) + "\n")
PY

# Starts the daemon with the given options; waits for "ready".
start_daemon() {
    # The previous daemon's "ready" must not be taken for this one's (the
    # redirection below may truncate the file only after wait_ready looked).
    rm -f "$work/sim.out" "$work/sim.err"
    "$sim" --link "$link_a" --link "$link_b" "$@" > "$work/sim.out" 2> "$work/sim.err" &
    daemon_pid=$!
    wait_ready "$work/sim.out" "$daemon_pid" && return 0
    fail "the daemon ($*) did not get ready"; show "$work/sim.out" "$work/sim.err"
    return 1
}
# SIGTERM and the daemon's exit status in $daemon_status.
stop_daemon() {
    kill -TERM "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
    daemon_status=$?
    daemon_pid=""
}

# ---- Recorded against the simulated phone.
start_daemon --platform demo-passive --config-dir "$build" --instant-flash || exit 1
"$cli" -q --trace "$work/recorded.trace" "${job[@]}" "/file=$work/image.s19" > "$work/cli.out" 2>&1
status=$?
stop_daemon
if [ $status -eq 0 ] && [ -s "$work/recorded.trace" ]; then
    pass "flash job recorded ($(wc -l < "$work/recorded.trace") trace lines)"
else
    fail "the recorded job ended with $status"; show "$work/cli.out"; exit 1
fi

# ---- Played back: the same job succeeds with the same traffic.
start_daemon --replay "$work/recorded.trace" || exit 1
"$cli" -q --trace "$work/replayed.trace" "${job[@]}" "/file=$work/image.s19" > "$work/cli.out" 2>&1
status=$?
for _ in $(seq 1 40); do grep -q "^replay: complete (" "$work/sim.out" && break; sleep 0.05; done
stop_daemon
if [ $status -eq 0 ]; then pass "the host's job against the replay succeeds"; else fail "job against the replay: $status"; show "$work/cli.out" "$work/sim.out"; fi
if [ $daemon_status -eq 0 ] && grep -q "^replay: complete (" "$work/sim.out" && grep -q "^replay: complete;" "$work/sim.out"; then
    pass "the replay went through the whole trace: $(grep '^replay: complete;' "$work/sim.out")"
else
    fail "the replay did not complete (status $daemon_status)"; show "$work/sim.out" "$work/sim.err"
fi
if result=$(python3 "$compare" same "$work/recorded.trace" "$work/replayed.trace" 2>&1); then
    pass "the replayed job's trace: $result"
else
    fail "the traces differ: $result"
fi

# ---- A host that writes something else: reported at the changed byte.
start_daemon --replay "$work/recorded.trace" || exit 1
"$cli" -q --trace "$work/diverged.trace" "${job[@]}" "/file=$work/changed.s19" > "$work/cli.out" 2>&1 &
cli_pid=$!
for _ in $(seq 1 300); do grep -q "^replay: diverged: " "$work/sim.out" && break; sleep 0.05; done
# The host would now wait for answers that never come: it is interrupted
# here as a user would (Ctrl-C), so that the job ends and its trace is
# written out in full; killed only when it does not end in time.
kill -INT "$cli_pid" 2>/dev/null
for _ in $(seq 1 100); do kill -0 "$cli_pid" 2>/dev/null || break; sleep 0.05; done
kill_all "$cli_pid"
cli_pid=""
stop_daemon
report=$(grep "^replay: diverged: " "$work/sim.out")
if [ -n "$report" ] && [ $daemon_status -eq 1 ] && result=$(python3 "$compare" diverged "$work/recorded.trace" \
        "$work/diverged.trace" "$report" 2>&1); then
    pass "$report: $result"
else
    fail "divergence (status $daemon_status): ${result:-no report}"; show "$work/sim.out"
fi

# ---- Not a trace.
echo "hello" > "$work/not.trace"
"$sim" --replay "$work/not.trace" > "$work/sim.out" 2> "$work/sim.err"
status=$?
if [ $status -eq 1 ] && grep -q "not.trace: line 1: not a wire trace" "$work/sim.err"; then
    pass "a file that is not a trace is refused"
else
    fail "not a trace: status $status"; show "$work/sim.err"
fi

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures > 0))
