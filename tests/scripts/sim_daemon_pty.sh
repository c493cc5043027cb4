#!/usr/bin/env bash
# flashwire-sim end to end through real pseudo-terminals: the command line
# (--help, bad options, unknown platform), start-up lines and links, a passive
# boot ROM woken and asked for "info" by a plain Python client over the link
# (with pacing checked, one injected fault and the --verbose log),
# a clean SIGTERM shutdown (exit 0, links removed, flash file saved), the
# flash file read back on the next start and refused when it has the wrong
# length, a --link that would overwrite a regular file refused, an image
# without a loader signature run as the flash loader (and halting the phone
# with --require-loader-signature), and one "TXDT" whose second stream, on
# UART B, begins while its frame is still arriving on UART A.
# usage: sim_daemon_pty.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=${1:?build dir}
source=${2:?source dir}
sim="$build/flashwire-sim"
client="$source/tests/scripts/sim_daemon_client.py"
work=$(mktemp -d)
daemon_pid=""

cleanup() {
    kill_all "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT

[ -x "$sim" ] || { echo "FAIL: $sim is missing"; exit 1; }
[ -f "$build/platform.def" ] || { echo "FAIL: $build/platform.def is missing"; exit 1; }

# The first platform whose boot ROM is passive.
platform=$(awk '
    /^[ \t]*\[/ { gsub(/^[ \t]*\[|\][ \t\r]*$/, ""); section = $0; next }
    tolower($0) ~ /^[ \t]*bootloader[ \t]*=[ \t]*passive/ { print section; exit }
' "$build/platform.def")
[ -n "$platform" ] || { echo "FAIL: no passive boot ROM platform in $build/platform.def"; exit 1; }
echo "platform: $platform"

# Starts the daemon with the given extra options; waits up to 5 s for
# "ready". Sets daemon_pid; returns 1 if it did not get ready.
start_daemon() {
    : > "$work/out"
    "$sim" --platform "$platform" --config-dir "$build" "$@" > "$work/out" 2> "$work/err" &
    daemon_pid=$!
    wait_ready "$work/out" "$daemon_pid"
}

# Sends SIGTERM and waits up to 3 s; sets stop_status to the exit status
# (or "hung").
stop_daemon() {
    kill -TERM "$daemon_pid"
    stop_status=hung
    for _ in $(seq 1 60); do
        if ! kill -0 "$daemon_pid" 2>/dev/null; then
            wait "$daemon_pid"
            stop_status=$?
            daemon_pid=""
            return
        fi
        sleep 0.05
    done
}

# ---- The command line ------------------------------------------------------
"$sim" --help > "$work/help" 2>&1; status=$?
if [ $status -eq 0 ] && grep -q -- "--platform NAME" "$work/help" && grep -q -- "--fault-reply" "$work/help" &&
   grep -q -- "--require-loader-signature" "$work/help"; then
    pass "--help exits 0 and lists the options"
else
    fail "--help: status $status"; cat "$work/help"
fi

"$sim" --platform "$platform" --no-such-option > /dev/null 2> "$work/err"; status=$?
if [ $status -eq 2 ] && grep -q "unknown option" "$work/err"; then
    pass "an unknown option exits 2 with a message"
else
    fail "unknown option: status $status"; cat "$work/err"
fi

for bad in "--seed" "--seed 12x" "--fault-bitflip 1.5" "--fault-reply info:x:err" "--fault-stall 10" \
           "--link a --link b --link c" "--link same --link same" "--require-loader-signature=yes" \
           "--time-slice 100001" "--time-slice -1" ""; do
    # shellcheck disable=SC2086
    if [ -z "$bad" ]; then
        "$sim" > /dev/null 2> "$work/err"; status=$?
    else
        "$sim" --platform "$platform" $bad > /dev/null 2> "$work/err"; status=$?
    fi
    if [ $status -ne 2 ] || [ ! -s "$work/err" ]; then
        fail "bad command line '$bad': status $status, expected 2 with a message"
    fi
done
pass "bad values, a missing value, a value for a flag, a third --link and a missing --platform exit 2"

"$sim" --platform no-such-platform-here --config-dir "$build" > /dev/null 2> "$work/err"; status=$?
if [ $status -eq 1 ] && grep -q "no-such-platform-here" "$work/err"; then
    pass "an unknown platform exits 1 naming it"
else
    fail "unknown platform: status $status"; cat "$work/err"
fi

# ---- A session through the links ----------------------------------------------
link_a="$work/uart-a"
link_b="$work/uart-b"
ln -s /nonexistent/old-target "$link_b"   # a stale link is replaced
flash="$work/flash.bin"

# The second '!' is swallowed (the client just pings once more); --verbose
# must show that fault and the commands.
if start_daemon --link "$link_a" --link "$link_b" --flash-file "$flash" --verbose --fault-reply '!:1:silent'; then
    pty_a=$(sed -n 's/^UART A: //p' "$work/out")
    pty_b=$(sed -n 's/^UART B: //p' "$work/out")
    if [ "$(sed -n 1p "$work/out")" = "UART A: $pty_a" ] && [ "$(sed -n 2p "$work/out")" = "UART B: $pty_b" ] &&
       [ "$(sed -n 3p "$work/out")" = "ready" ] && [ -c "$pty_a" ] && [ -c "$pty_b" ] && [ "$pty_a" != "$pty_b" ]; then
        pass "start-up lines: UART A $pty_a, UART B $pty_b, ready"
    else
        fail "start-up lines:"; cat "$work/out"
    fi
    if [ "$(readlink "$link_a")" = "$pty_a" ] && [ "$(readlink "$link_b")" = "$pty_b" ]; then
        pass "links point at the pseudo-terminals (the stale one replaced)"
    else
        fail "links: $(readlink "$link_a") $(readlink "$link_b")"
    fi

    if timeout 15 python3 "$client" "$link_a"; then
        pass "passive boot ROM woken, info reply checked, port reopened"
    else
        fail "client exchange over $link_a"; cat "$work/err"
    fi

    if grep -q 'UART A fault reply silenced to-host' "$work/err" && grep -q '"info"' "$work/err" &&
       grep -q '"data"' "$work/err"; then
        pass "--verbose logs the commands and the injected fault"
    else
        fail "--verbose log:"; cat "$work/err"
    fi

    t0=$(date +%s%N)
    stop_daemon
    t1=$(date +%s%N)
    if [ "$stop_status" = 0 ]; then
        pass "SIGTERM: exit 0 after $(( (t1 - t0) / 1000000 )) ms"
    else
        fail "SIGTERM: exit status $stop_status"; cat "$work/err"
    fi
    if [ ! -e "$link_a" ] && [ ! -L "$link_a" ] && [ ! -L "$link_b" ]; then
        pass "links removed"
    else
        fail "links left behind"
    fi
    if [ -s "$flash" ] && ! ls "$work" | grep -q '\.tmp\.'; then
        pass "flash file saved ($(stat -c %s "$flash") bytes)"
    else
        fail "flash file not saved"
    fi
else
    fail "daemon did not get ready"; cat "$work/out" "$work/err"
fi

# ---- The flash file on the next start --------------------------------------------
if [ -s "$flash" ]; then
    size=$(stat -c %s "$flash")
    # Mark the first byte, start, stop: the mark must survive the round trip.
    printf '\x5a' | dd of="$flash" bs=1 count=1 conv=notrunc 2> /dev/null
    if start_daemon --flash-file "$flash"; then
        stop_daemon
        first=$(od -An -tx1 -N1 "$flash" | tr -d ' ')
        if [ "$stop_status" = 0 ] && [ "$first" = 5a ] && [ "$(stat -c %s "$flash")" = "$size" ]; then
            pass "flash file loaded at start and saved back unchanged"
        else
            fail "flash round trip: status $stop_status, first byte $first"
        fi
    else
        fail "daemon did not start with the saved flash file"; cat "$work/err"
    fi

    head -c $((size - 1)) "$flash" > "$work/short.bin"
    "$sim" --platform "$platform" --config-dir "$build" --flash-file "$work/short.bin" > /dev/null 2> "$work/err"
    status=$?
    if [ $status -eq 1 ] && grep -q "short.bin" "$work/err" && [ "$(stat -c %s "$work/short.bin")" = $((size - 1)) ]; then
        pass "a flash file of the wrong length is refused and left alone"
    else
        fail "short flash file: status $status"; cat "$work/err"
    fi
fi

# ---- A link that would overwrite a regular file ------------------------------------
echo precious > "$work/regular"
"$sim" --platform "$platform" --config-dir "$build" --link "$work/regular" > /dev/null 2> "$work/err"
status=$?
if [ $status -eq 1 ] && [ "$(cat "$work/regular")" = precious ] && grep -q "not a symbolic link" "$work/err"; then
    pass "a --link onto a regular file is refused and the file kept"
else
    fail "--link onto a regular file: status $status"; cat "$work/err"
fi

# ---- One "TXDT" in two streams, the second begun while the frame is on the line --
# The client loads an image without a loader signature, which the daemon runs
# as the flash loader by default, and writes the frame and stream 0 on UART A
# and then, at once, stream 1 on UART B; the phone must count stream 1's early
# bytes ("+ok!", not a stream time-out). Needs a passive boot ROM of type 2
# whose chip 0 starts with an 8 KiB sector ($platform is demo-passive).
if start_daemon --link "$link_a" --link "$link_b"; then
    if timeout 30 python3 "$client" --transfer "$link_a" "$link_b"; then
        pass "an unsigned image runs; a stream begun on UART B while its TXDT frame arrives on UART A is taken whole"
    else
        fail "two-UART transfer"; cat "$work/err"
    fi
    stop_daemon
else
    fail "daemon did not get ready for the transfer"; cat "$work/out" "$work/err"
fi

# ---- --require-loader-signature: an unsigned image halts the phone ------------
if start_daemon --link "$link_a" --require-loader-signature; then
    if timeout 15 python3 "$client" --expect-halt "$link_a"; then
        pass "--require-loader-signature: the phone halts on an unsigned image"
    else
        fail "--require-loader-signature"; cat "$work/err"
    fi
    stop_daemon
else
    fail "daemon did not get ready with --require-loader-signature"; cat "$work/out" "$work/err"
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
