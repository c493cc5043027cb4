#!/usr/bin/env bash
# The `flashwire` command line end to end, in real time, against flashwire-sim
# on pseudo-terminals: --help and --version; bad command lines and option
# strings (exit 28, also as a JSON result); an argument with blanks quoted
# into the option string; a small image flashed over two ports with --json
# (every line parsed, the final result object checked, the daemon's flash file
# compared with the image), verified with plain progress lines and on a
# terminal (the live bar), read back and compared, and verified against a
# changed image (exit 24); a silent phone (powered on far in the future) ended
# by --timeout, by SIGINT and by SIGINT followed by SIGTERM (exit 3, 3 and
# 130).
# The daemon is restarted with the same --flash-file before every job: a
# flash loader left running would still be at its raised rate.
# usage: cli_end_to_end.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
: "${2:?source dir}"  # unused: everything comes from the build tree
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
show() { for f in "$@"; do echo "--- $f"; tail -n 30 "$f"; done; }

[ -x "$cli" ] || { echo "FAIL: $cli is missing"; exit 1; }
[ -x "$sim" ] || { echo "FAIL: $sim is missing"; exit 1; }
grep -q "^\[$platform\]" "$build/platform.def" || { echo "FAIL: no [$platform] in $build/platform.def"; exit 1; }

link_a="$work/uart-a"
link_b="$work/uart-b"
flash="$work/phone.flash"
ports=(--port "COM1=$link_a" --port "COM2=$link_b")
common=(/platform=$platform /com=1,2 /maxspeed=921600,921600)

# Starts the daemon with the given extra options; waits up to 5 s for "ready".
start_daemon() {
    rm -f "$work/sim.out" "$work/sim.err"  # no earlier daemon's "ready" taken for this one's
    "$sim" --platform "$platform" --config-dir "$build" --link "$link_a" --link "$link_b" "$@" \
        > "$work/sim.out" 2> "$work/sim.err" &
    daemon_pid=$!
    wait_ready "$work/sim.out" "$daemon_pid" && return 0
    fail "the daemon did not get ready"; show "$work/sim.err"
    return 1
}

# SIGTERM, then waits for the daemon (it saves the flash file on the way out).
stop_daemon() {
    [ -n "$daemon_pid" ] || return
    kill -TERM "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
    daemon_pid=""
}

# Checks a --json output file: every line is a JSON object with "type" and
# "time", the last one (and only it) is the result, with the given code and
# name. Further arguments are types that must appear. Prints what is wrong.
check_json() {
    python3 - "$@" <<'EOF'
import json, sys
path, code, name, *types = sys.argv[1:]
lines = open(path, encoding="utf-8").read().splitlines()
if not lines:
    sys.exit("no output")
records = []
for n, line in enumerate(lines, 1):
    try:
        r = json.loads(line)
    except ValueError as e:
        sys.exit(f"line {n} is not JSON ({e}): {line!r}")
    if not isinstance(r, dict) or not isinstance(r.get("type"), str) or not isinstance(r.get("time"), (int, float)):
        sys.exit(f"line {n} lacks type or time: {line!r}")
    records.append(r)
results = [r for r in records if r["type"] == "result"]
if len(results) != 1 or records[-1]["type"] != "result":
    sys.exit(f"{len(results)} result objects, last line {lines[-1]!r}")
last = records[-1]
if last.get("code") != int(code) or last.get("name") != name or last.get("exit_status") != int(code):
    sys.exit(f"result {last}, expected code {code} name {name}")
seen = {r["type"] for r in records}
missing = [t for t in types if t not in seen]
if missing:
    sys.exit(f"no {missing} among {sorted(seen)}")
EOF
}

# ---- The command line alone --------------------------------------------------
"$cli" --help > "$work/help" 2>&1; status=$?
if [ $status -eq 0 ] && grep -q -- "--port COMn=DEVICE" "$work/help" && grep -q -- "--config-dir" "$work/help" &&
   grep -q -- "--timeout" "$work/help" && grep -q -- "--json" "$work/help" && grep -q -- "--quiet" "$work/help" &&
   grep -q "/platform=" "$work/help" && grep -q "Usage: flashwire COMMAND ... | flashwire \[FLAGS\] OPTION" "$work/help"; then
    pass "--help exits 0 with the flags and the option string"
else
    fail "--help: status $status"; show "$work/help"
fi

"$cli" --version > "$work/version" 2>&1; status=$?
if [ $status -eq 0 ] && grep -Eqx "flashwire [0-9]+\.[0-9]+\.[0-9]+" "$work/version"; then
    pass "--version: $(cat "$work/version")"
else
    fail "--version: status $status"; show "$work/version"
fi

# Bad command lines: each exits 28 (ERR_BAD_CMDLINE) with a line on stderr
# naming the failure, and writes nothing on stdout.
bad_cases=(
    "/mode=fly /platform=$platform|Unknown MODE fly"
    "/platform=$platform /nosuchoption=1|Unknown option: nosuchoption"
    "--bogus /mode=flash|unknown flag --bogus"
    "--port COM13=/dev/null /mode=flash|--port"
    "--port ttyUSB0 /mode=flash|--port"
    "--timeout 0 /mode=flash|--timeout"
    "--config-dir $work/none /mode=flash|--config-dir"
    "mode=flash|not an option"
    "|no option string"
)
for case in "${bad_cases[@]}"; do
    args=${case%%|*}
    expect=${case#*|}
    # shellcheck disable=SC2086
    "$cli" $args > "$work/bad.out" 2> "$work/bad.err"; status=$?
    if [ $status -ne 28 ] || ! grep -qF -- "$expect" "$work/bad.out" "$work/bad.err" ||
       ! grep -q "ERR_BAD_CMDLINE" "$work/bad.err"; then
        fail "bad command line '$args': status $status, expected 28 and '$expect'"; show "$work/bad.out" "$work/bad.err"
    fi
done
pass "bad option strings, flags and words exit 28 (ERR_BAD_CMDLINE) saying why"

"$cli" --json /mode=fly "/platform=$platform" > "$work/bad.json" 2> "$work/bad.err"; status=$?
if [ $status -eq 28 ] && why=$(check_json "$work/bad.json" 28 ERR_BAD_CMDLINE message) &&
   grep -q '"text":"Unknown MODE fly"' "$work/bad.json" && [ ! -s "$work/bad.err" ]; then
    pass "--json with a bad option string: JSON lines only, result 28 ERR_BAD_CMDLINE"
else
    fail "--json bad option string: status $status ${why:-}"; show "$work/bad.json" "$work/bad.err"
fi

"$cli" --json --no-such-flag > "$work/bad.json" 2> "$work/bad.err"; status=$?
if [ $status -eq 28 ] && why=$(check_json "$work/bad.json" 28 ERR_BAD_CMDLINE error); then
    pass "--json with an unknown flag: an error object and the result"
else
    fail "--json unknown flag: status $status ${why:-}"; show "$work/bad.json" "$work/bad.err"
fi

# An argument with blanks reaches the library whole: the echo of the accepted
# option names the whole path (the job itself then fails on the port).
"$cli" --json --port "COM1=$work/no-such-port" "/platform=$platform" /com=1 /mode=verify \
    "/file=$work/my image.s19" > "$work/quoted.json" 2> "$work/quoted.err"; status=$?
if grep -qF "\"text\":\"/file=$work/my image.s19\"" "$work/quoted.json" && [ $status -ne 0 ] &&
   [ $status -ne 28 ]; then
    pass "an argument with blanks is quoted into the option string (job ended with $status)"
else
    fail "quoted argument: status $status"; show "$work/quoted.json" "$work/quoted.err"
fi

# --config-dir reaches the library: a "platform.def" without the platform
# fails the job with ERR_BAD_PLATFORM (30); the default directory (the build
# tree, beside the executable) has it, and the same job gets as far as the
# port, which does not exist (ERR_COM, 2).
mkdir "$work/config"
: > "$work/config/platform.def"
cp "$build/flash.types" "$work/config/"
(cd "$work" && "$cli" --config-dir config --port "COM1=$work/no-such-port" "/platform=$platform" /com=1 \
    /mode=verify "/file=$work/none.s19" > "$work/config.out" 2>&1); status=$?
"$cli" --port "COM1=$work/no-such-port" "/platform=$platform" /com=1 /mode=verify "/file=$work/none.s19" \
    > "$work/default.out" 2>&1; default_status=$?
if [ $status -eq 30 ] && grep -q "ERR_BAD_PLATFORM" "$work/config.out" && [ $default_status -eq 2 ] &&
   grep -q "ERR_COM" "$work/default.out"; then
    pass "--config-dir (relative) is where the job reads platform.def; the default is the build tree"
else
    fail "--config-dir: status $status, default $default_status"; show "$work/config.out" "$work/default.out"
fi

# ---- Jobs on the simulated phone ---------------------------------------------
# A 20 KiB image at 0x4000: two whole 8 KiB sectors and half of a third.
base=$((0x4000))
size=$((20 * 1024))
write_image() {  # path seed [changed-offset]
    python3 - "$base" "$size" "$@" <<'EOF'
import random, sys
base, size, path, seed = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
data = bytearray(random.Random(seed).randbytes(size))
if len(sys.argv) > 5:
    data[int(sys.argv[5])] ^= 0x5A
with open(path, "w") as f:
    f.write("S00600004844521B\n")
    for at in range(0, size, 32):
        chunk = data[at:at + 32]
        body = bytes([len(chunk) + 5]) + (base + at).to_bytes(4, "big") + chunk
        f.write("S3" + body.hex().upper() + "%02X\n" % (~sum(body) & 0xFF))
    f.write("S70500000000FA\n")
with open(path + ".bin", "wb") as f:
    f.write(data)
EOF
}
image="$work/image.s19"
changed="$work/changed.s19"
write_image "$image" 7
write_image "$changed" 7 $((size - 100))

# Flash with --json.
if start_daemon --flash-file "$flash"; then
    t0=$(date +%s%N)
    "$cli" --json "${ports[@]}" "${common[@]}" /mode=flash "/file=$image" > "$work/flash.json" 2> "$work/flash.err"
    status=$?
    t1=$(date +%s%N)
    stop_daemon
    if [ $status -eq 0 ] &&
       why=$(check_json "$work/flash.json" 0 SUCCESS message status progress_begin progress_update progress_end); then
        pass "flash with --json: exit 0, every line JSON, result SUCCESS ($(( (t1 - t0) / 1000000 )) ms)"
    else
        fail "flash --json: status $status ${why:-}"; show "$work/flash.json" "$work/flash.err"
    fi
    # The flash phase's progress: begun with the image's size, ended complete.
    if python3 - "$work/flash.json" "$size" <<'EOF'
import json, sys
records = [json.loads(l) for l in open(sys.argv[1])]
size = int(sys.argv[2])
begins = [i for i, r in enumerate(records) if r["type"] == "progress_begin" and r["text"].startswith("Loading Flash")]
assert begins, "no flash phase"
i = begins[-1]
assert records[i]["total"] == size, records[i]
end = next(r for r in records[i:] if r["type"] == "progress_end")
assert end["done"] == end["total"] == size, end
updates = [r for r in records[i:] if r["type"] == "progress_update"]
assert updates and all(set(r) == {"type", "time", "done", "total", "percent"} for r in updates), updates[:3]
assert any(r["type"] == "status" and r["text"] == "All is well !" for r in records)
assert all(set(r) == {"type", "time", "level", "text"} for r in records if r["type"] == "message")
EOF
    then
        pass "the flash phase's progress runs from begin to end over the image's $size bytes"
    else
        fail "flash progress records"; show "$work/flash.json"
    fi
    if cmp -s -i $base:0 -n $size "$flash" "$image.bin"; then
        pass "the phone's flash holds the image"
    else
        fail "the phone's flash differs from the image"
    fi
fi

# Verify, plain output (not a terminal): progress lines, no bar, no colours.
if start_daemon --flash-file "$flash"; then
    "$cli" -v "${ports[@]}" "${common[@]}" /mode=verify "/file=$image" > "$work/verify.out" 2> "$work/verify.err"
    status=$?
    stop_daemon
    if [ $status -eq 0 ] && grep -q "^progress: Verifying Flash: done, 20.0 KiB in" "$work/verify.out" &&
       grep -q "^status: All is well !" "$work/verify.out" && grep -q "^\[0\] /mode=verify" "$work/verify.out" &&
       grep -q "^flashwire: done in" "$work/verify.out" && ! grep -q $'[\r\033]' "$work/verify.out" &&
       [ ! -s "$work/verify.err" ]; then
        pass "verify -v: exit 0, plain progress, message (level 0 too) and status lines"
    else
        fail "verify: status $status"; show "$work/verify.out" "$work/verify.err"
    fi
fi

# Verify on a terminal: the live bar is redrawn in place.
if start_daemon --flash-file "$flash"; then
    TERM=xterm script -qefc "$(printf '%q ' "$cli" "${ports[@]}" "${common[@]}" /mode=verify "/file=$image")" \
        /dev/null > "$work/tty.out" 2>&1 < /dev/null
    status=$?
    stop_daemon
    if [ $status -eq 0 ] && grep -q $'\r''Verifying Flash \[[#.]*\] ' "$work/tty.out" &&
       grep -q $'\033\\[1mstatus: All is well !' "$work/tty.out"; then
        pass "on a terminal: a progress bar drawn in place, the status in bold"
    else
        fail "terminal output: status $status"; show "$work/tty.out"
    fi
fi

# Read back.
readback="$work/readback.s19"
if start_daemon --flash-file "$flash"; then
    "$cli" --quiet "${ports[@]}" "${common[@]}" /mode=read "/savefile=$readback" \
        "/read=$(printf '0x%x-0x%x' $base $((base + size - 1)))" > "$work/read.out" 2> "$work/read.err"
    status=$?
    stop_daemon
    if [ $status -eq 0 ] && [ "$(wc -l < "$work/read.out")" -eq 1 ] && grep -q "^flashwire: done in" "$work/read.out" && python3 - "$readback" "$image.bin" "$base" <<'EOF'
import sys
data = {}
for line in open(sys.argv[1]):
    line = line.strip()
    if line[:2] != "S3":
        continue
    raw = bytes.fromhex(line[2:])
    assert (sum(raw) & 0xFF) == 0xFF, line
    address = int.from_bytes(raw[1:5], "big")
    for k, b in enumerate(raw[5:-1]):
        data[address + k] = b
image = open(sys.argv[2], "rb").read()
base = int(sys.argv[3])
assert sorted(data) == list(range(base, base + len(image))), (min(data), max(data), len(data))
assert bytes(data[base + k] for k in range(len(image))) == image
EOF
    then
        pass "read back with --quiet: one line on stdout, the S-record file equals the image"
    else
        fail "read back: status $status"; show "$work/read.out" "$work/read.err"
    fi
fi

# Verify against an image with one byte changed: ERR_VERIFY_DIFFERENCE.
if start_daemon --flash-file "$flash"; then
    "$cli" "${ports[@]}" "${common[@]}" /mode=verify "/file=$changed" > "$work/diff.out" 2> "$work/diff.err"
    status=$?
    stop_daemon
    if [ $status -eq 24 ] && grep -q "ERR_VERIFY_DIFFERENCE (error 24, exit status 24)" "$work/diff.err" &&
       grep -q "^\[1\] VerifyData: Difference found" "$work/diff.out" &&
       grep -q "the block that differs is 0x00004000 - 0x00008fff" "$work/diff.out" &&
       grep -q "the block that differs is 0x00004000 - 0x00008fff" "$work/diff.err"; then
        pass "verify against a changed image: exit 24, ERR_VERIFY_DIFFERENCE and the block's range named"
    else
        fail "verify against a changed image: status $status"; show "$work/diff.out" "$work/diff.err"
    fi
fi

# ---- A silent phone: --timeout and Ctrl-C ------------------------------------
# The phone powers on in ten minutes: the job pings its boot ROM until aborted.
# Runs the command line in the background on the silent phone; sets cli_pid.
start_silent_job() {  # output-prefix extra-flags...
    local prefix=$1
    shift
    "$cli" "$@" "${ports[@]}" "${common[@]}" /mode=verify "/file=$image" > "$prefix.out" 2> "$prefix.err" &
    cli_pid=$!
}
# Waits up to $1 s for the background command line; sets status (or "hung").
wait_cli() {
    status=hung
    for _ in $(seq 1 $(($1 * 20))); do
        if ! kill -0 "$cli_pid" 2>/dev/null; then
            wait "$cli_pid"
            status=$?
            cli_pid=""
            return
        fi
        sleep 0.05
    done
}
# Waits until the job is waiting for the phone (its progress phase began).
wait_for_power_on_phase() {  # file
    for _ in $(seq 1 100); do
        grep -q "Power on mobile\|Waiting for the phone" "$1" && return 0
        sleep 0.05
    done
    return 1
}

if start_daemon --power-on-delay 600000; then
    t0=$(date +%s%N)
    start_silent_job "$work/timeout" --timeout 1.5
    wait_cli 15
    t1=$(date +%s%N)
    ms=$(( (t1 - t0) / 1000000 ))
    if [ "$status" = 3 ] && [ $ms -ge 1500 ] && [ $ms -lt 8000 ] &&
       grep -q "time-out: the job ran longer than 1.5 s" "$work/timeout.err" &&
       grep -q "ERR_ABORT (error 3, exit status 3)" "$work/timeout.err"; then
        pass "--timeout 1.5: the job aborted after $ms ms, exit 3 (ERR_ABORT), the time-out said"
    else
        fail "--timeout: status $status after $ms ms"; show "$work/timeout.out" "$work/timeout.err"
    fi

    start_silent_job "$work/int" --json
    if wait_for_power_on_phase "$work/int.out"; then
        kill -INT "$cli_pid"
        wait_cli 10
        if [ "$status" = 3 ] && why=$(check_json "$work/int.out" 3 ERR_ABORT abort progress_begin) &&
           grep -q '"type":"abort","time":[0-9.]*,"reason":"interrupt"' "$work/int.out" && [ ! -s "$work/int.err" ]; then
            pass "SIGINT: the job aborted, exit 3, an abort object (interrupt) and the result in JSON"
        else
            fail "SIGINT: status $status ${why:-}"; show "$work/int.out" "$work/int.err"
        fi
    else
        fail "SIGINT: the job never waited for the phone"; show "$work/int.out" "$work/int.err"
    fi
    [ -n "$cli_pid" ] && kill -KILL "$cli_pid" 2>/dev/null

    start_silent_job "$work/int2"
    if wait_for_power_on_phase "$work/int2.out"; then
        # Two different signals, back to back: two of the same kind could
        # merge into one while pending, and a pause between them would race
        # with the end of the job that the first one aborts.
        kill -INT "$cli_pid"
        kill -TERM "$cli_pid"
        wait_cli 5
        # (Lines of the first signal's abort may still come while the program
        # ends: a sanitizer's _exit takes its time.)
        if [ "$status" = 130 ] && grep -q "interrupted again, quitting" "$work/int2.err"; then
            pass "a second signal (SIGINT, then SIGTERM) ends the program at once with 130"
        else
            fail "second SIGINT: status $status"; show "$work/int2.out" "$work/int2.err"
        fi
    else
        fail "second SIGINT: the job never waited for the phone"; show "$work/int2.out" "$work/int2.err"
    fi
    [ -n "$cli_pid" ] && kill -KILL "$cli_pid" 2>/dev/null
    stop_daemon
fi

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
