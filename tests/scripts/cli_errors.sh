#!/usr/bin/env bash
# Bad inputs through the `flashwire` command line, one table: each row gives
# the exit status and the words that must appear (the cause, the device or
# file, the remedy); standard error then holds exactly one line, the outcome
# with its cause. Ports that do not exist, a regular file, a directory and a
# non-terminal as the port, a device the user may not open, a platform that
# is not defined, a missing platform.def, a wrong key, an image that is
# missing, a directory or unreadable, a read into a file that cannot be
# written (said before the phone is read), a flash without an image, a job
# without a port, and bad flags of the commands. Then the wait for the phone: the waiting line with
# the port and its device, its elapsed time on a terminal, and
# --connect-timeout ending the job with ERR_ABORT and "no phone answered".
# usage: cli_errors.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
cli="$build/flashwire"
sim="$build/flashwire-sim"
work=$(mktemp -d)
daemon_pid=""
platform=demo-passive
cleanup() {
    kill_all "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

# A phone that powers on in ten minutes: a job opens its ports and loads its
# files, then waits for it.
"$sim" --platform "$platform" --config-dir "$build" --link "$work/uart-a" --link "$work/uart-b" \
    --power-on-delay 600000 > "$work/sim.out" 2> "$work/sim.err" &
daemon_pid=$!
wait_ready "$work/sim.out" "$daemon_pid" || { show "$work/sim.err"; echo "FAIL: the daemon did not get ready"; exit 1; }
pty="$work/uart-a"

python3 "$(dirname "${BASH_SOURCE[0]}")/../../scripts/make-sample-image.py" --size 4K --address 0x0 --seed 1 \
    -o "$work/image.s19" > /dev/null 2>&1 ||
    printf 'S00600004844521B\nS30900000000010203046C\nS70500000000FA\n' > "$work/image.s19"
mkdir "$work/dir" "$work/empty-config" "$work/bad-config"
: > "$work/regular"
cp "$work/image.s19" "$work/unreadable.s19" && chmod 000 "$work/unreadable.s19"
cp "$build/flash.types" "$work/bad-config/"
printf '[sideways]\nBootLoader=sideways\nFlashLoader=loaders/flash_loader.s19\n' > "$work/bad-config/platform.def"
# A device only the group dialout may open (as root: a node of the first
# serial port; the row runs as nobody).
as_nobody=()
if [ "$(id -u)" = 0 ] && mknod "$work/tty-dialout" c 4 64 2>/dev/null && chgrp dialout "$work/tty-dialout" &&
   chmod 660 "$work/tty-dialout" && command -v setpriv > /dev/null; then
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
elif [ "$(id -u)" != 0 ]; then
    as_nobody=(env)
fi

job=(--platform "$platform" --port "$pty")
# status | words that must appear | arguments ($w is the work directory)
rows=(
    "2|COM1 is \$w/nope: No such file or directory|flash --platform $platform --port \$w/nope \$w/image.s19"
    "2|is the adapter plugged in? flashwire ports lists|verify --platform $platform --port \$w/nope \$w/image.s19"
    "2|COM1 is \$w/regular: a regular file, not a serial device|flash --platform $platform --port \$w/regular \$w/image.s19"
    "2|COM1 is \$w/dir: a directory, not a serial device|flash --platform $platform --port \$w/dir \$w/image.s19"
    "2|COM2 is /dev/null: not a serial device|verify --platform $platform --port $pty --port /dev/null \$w/image.s19"
    "30|platform \"nosuch\" is not defined in $build/platform.def; it defines: demo-active, demo-passive|flash --platform nosuch --port $pty \$w/image.s19"
    "30|\$w/empty-config/platform.def not found|--config-dir \$w/empty-config flash --platform $platform --port $pty \$w/image.s19"
    "30|invalid boot loader type: sideways (section [sideways] of \$w/bad-config/platform.def)|--config-dir \$w/bad-config flash --platform sideways --port $pty \$w/image.s19"
    "8|\$w/missing.s19: No such file or directory|flash --platform $platform --port $pty \$w/missing.s19"
    "8|\$w/dir is a directory, not a file|verify --platform $platform --port $pty \$w/dir"
    "9|cannot write the read data: the directory \$w/nodir does not exist|read --platform $platform --port $pty 0x0-0xff -o \$w/nodir/out.s19"
    "9|cannot write the read data: \$w/dir is a directory, not a file|read --platform $platform --port $pty 0x0-0xff -o \$w/dir"
    "28|/mode=flash needs an image: add /file=IMAGE|--port COM1=$pty /platform=$platform /com=1 /mode=flash"
    "28|/mode=verify needs an image|--port COM1=$pty /platform=$platform /com=1 /mode=verify"
    "28|--platform is required|flash --port $pty \$w/image.s19"
    "28|--port is required|verify --platform $platform \$w/image.s19"
    "31|the job has no port: give /com=N|/platform=$platform /mode=verify /file=\$w/image.s19"
    "31|/erase=9 is above 8|--port COM1=$pty /platform=$platform /com=1 /erase=9 /file=\$w/image.s19"
    "28|--output is required|read --platform $platform --port $pty 0x0-0xff"
    "28|Bad /read definition: 5-3|read --platform $platform --port $pty 5-3 -o \$w/out.s19"
    "28|a job uses one or two ports, 3 were given|flash --platform $platform --port /dev/a --port /dev/b --port /dev/c \$w/image.s19"
    "28|--port: COM1 is given twice|flash --platform $platform --port /dev/a --port COM1=/dev/b \$w/image.s19"
    "28|--baud|flash --platform $platform --port $pty --baud 1234 \$w/image.s19"
    "28|--connect-timeout|--connect-timeout 0 flash --platform $platform --port $pty \$w/image.s19"
    "28|Unknown MODE fly|/platform=$platform /mode=fly"
    "28|The following argument was not expected: --bogus|verify --bogus --platform $platform --port $pty \$w/image.s19"
)
[ ${#as_nobody[@]} -gt 0 ] && [ "$(id -u)" = 0 ] &&
    rows+=("2|Permission denied: the members of the group dialout may use it; add your user to it (sudo usermod -aG dialout|nobody:flash --platform $platform --port \$w/tty-dialout \$w/image.s19")
[ "$(id -u)" != 0 ] && rows+=("8|\$w/unreadable.s19: Permission denied|flash --platform $platform --port $pty \$w/unreadable.s19")

n=0
failed_before=$failures
for row in "${rows[@]}"; do
    expected=${row%%|*}
    rest=${row#*|}
    words=${rest%%|*}
    args=${rest#*|}
    words=${words//\$w/$work}
    args=${args//\$w/$work}
    runner=()
    if [ "${args#nobody:}" != "$args" ]; then
        args=${args#nobody:}
        runner=("${as_nobody[@]}")
        chmod o+rx "$work"
    fi
    read -r -a argv <<<"$args"
    "${runner[@]}" "$cli" "${argv[@]}" > "$work/out" 2> "$work/err" < /dev/null
    status=$?
    n=$((n + 1))
    if [ "$status" != "$expected" ] || ! grep -qF -- "$words" "$work/out" "$work/err"; then
        fail "row $n ($args): status $status (expected $expected), words '$words'"
        show "$work/out" "$work/err"
    elif [ "$(wc -l < "$work/err")" -ne 1 ] || ! grep -q "^flashwire: failed: .* (error $expected, exit status $expected)" "$work/err"; then
        fail "row $n ($args): standard error is not the one outcome line"
        show "$work/err"
    fi
done
[ $failures -eq $failed_before ] &&
    pass "$n bad inputs: each exits with its status, names its cause, and says the outcome once on standard error"

# ---- Waiting for the phone ---------------------------------------------------
t0=$(date +%s%N)
"$cli" verify "${job[@]}" --connect-timeout 1.5 "$work/image.s19" > "$work/wait.out" 2> "$work/wait.err" < /dev/null
status=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
if [ $status -eq 3 ] &&
   grep -qxF "Waiting for the phone on COM1 ($pty): switch it on or reset it now" "$work/wait.out" &&
   grep -qF "no phone answered on COM1 ($pty) within 1.5 s" "$work/wait.err" &&
   grep -q "ERR_ABORT (error 3, exit status 3)" "$work/wait.err" && [ $ms -ge 1500 ] && [ $ms -lt 8000 ]; then
    pass "--connect-timeout 1.5: the waiting line names the port and device; ERR_ABORT after $ms ms, no phone answered"
else
    fail "--connect-timeout: status $status after $ms ms"; show "$work/wait.out" "$work/wait.err"
fi

# On a terminal the waiting line counts the seconds.
TERM=xterm script -qefc "$(printf '%q ' "$cli" verify "${job[@]}" --connect-timeout 2.5 "$work/image.s19")" \
    /dev/null > "$work/tty.out" 2>&1 < /dev/null
status=$?
if [ $status -eq 3 ] && grep -q $'\r''0:0[12]  Waiting for the phone on COM1 (' "$work/tty.out"; then
    pass "on a terminal the waiting line shows the elapsed time"
else
    fail "waiting line on a terminal: status $status"; show "$work/tty.out"
fi

# --json: one "waiting" object, then the abort (connect_timeout) and the result.
"$cli" --json verify "${job[@]}" --connect-timeout 1 "$work/image.s19" > "$work/wait.json" 2> "$work/wait.err" < /dev/null
status=$?
if [ $status -eq 3 ] && [ "$(grep -c '"type":"waiting"' "$work/wait.json")" -eq 1 ] &&
   grep -q '"type":"abort","time":[0-9.]*,"reason":"connect_timeout"' "$work/wait.json" &&
   tail -n 1 "$work/wait.json" | grep -q '"type":"result".*"code":3' && [ ! -s "$work/wait.err" ]; then
    pass "--json: a waiting object, the abort (connect_timeout) and the result"
else
    fail "--json waiting: status $status"; show "$work/wait.json" "$work/wait.err"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
