#!/usr/bin/env bash
# The pause between a "TXDT" frame and its streams, in real time through
# flashwire-sim on pseudo-terminals whose flash loader arms its receive 3 ms
# after the frame (--stream-arming 3): the `flashwire` command line with the
# shipped configuration (default gap) flashes an image over two ports; with
# "StreamGap=0" in its "platform.def" the same job fails with
# ERR_TOO_MANY_RETRIES and the daemon logs the lost stream bytes; a
# "StreamGap" out of range is refused with a line naming key and section; and
# the daemon refuses an arming time that is no number.
# usage: stream_gap_pty.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(cd "${1:?build dir}" && pwd)
source=$(cd "${2:?source dir}" && pwd)
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

[ -x "$cli" ] || { echo "FAIL: $cli is missing"; exit 1; }
[ -x "$sim" ] || { echo "FAIL: $sim is missing"; exit 1; }
grep -q "^\[$platform\]" "$build/platform.def" || { echo "FAIL: no [$platform] in $build/platform.def"; exit 1; }

# A configuration directory: the shipped one with LINE at the top of the section.
config_with() {
    local dir="$work/$1" line=$2
    mkdir -p "$dir"
    sed "s/^\[$platform\]\$/&\n$line/" "$build/platform.def" > "$dir/platform.def"
    cp "$build/flash.types" "$dir/"
    ln -s "$build/loaders" "$dir/loaders"
}
config_with gap0 "StreamGap=0"
config_with gapbad "StreamGap=5000"
python3 "$source/scripts/make-sample-image.py" --size 64K --address 0x20000 --seed 3 -o "$work/image.s19" ||
    { echo "FAIL: no sample image"; exit 1; }

# run_job CONFIG_DIR: a fresh phone that arms late, one flash job; sets status.
run_job() {
    rm -f "$work/sim.out" "$work/sim.err"  # no earlier daemon's "ready" taken for this one's
    "$sim" --platform "$platform" --config-dir "$build" --instant-flash --stream-arming 3 --verbose \
        --link "$work/a" --link "$work/b" > "$work/sim.out" 2> "$work/sim.err" &
    daemon_pid=$!
    if ! wait_ready "$work/sim.out" "$daemon_pid"; then
        fail "the daemon did not get ready"; show "$work/sim.err"
        status=none
        return
    fi
    "$cli" --config-dir "$1" --port "COM1=$work/a" --port "COM2=$work/b" "/platform=$platform" /com=1,2 \
        /maxspeed=921600,921600 /mode=flash /diff=0 "/file=$work/image.s19" > "$work/job.out" 2>&1
    status=$?
    kill -TERM "$daemon_pid" 2>/dev/null
    wait "$daemon_pid" 2>/dev/null
    daemon_pid=""
}

run_job "$build"
if [ "$status" = 0 ] && grep -q "All is well !" "$work/job.out" && ! grep -q "stream not armed" "$work/sim.err"; then
    pass "default gap: the job succeeds against a loader that arms 3 ms after the frame"
else
    fail "default gap: status $status"; show "$work/job.out" "$work/sim.err"
fi

run_job "$work/gap0"
if [ "$status" != 0 ] && grep -q "ERR_TOO_MANY_RETRIES" "$work/job.out" &&
   grep -q "stream not armed" "$work/sim.err"; then
    pass "StreamGap=0: the job fails as a late-arming loader makes it fail (status $status)"
else
    fail "StreamGap=0: status $status"; show "$work/job.out" "$work/sim.err"
fi

"$cli" --config-dir "$work/gapbad" --port "COM1=$work/none" "/platform=$platform" /com=1 /mode=flash \
    "/file=$work/image.s19" > "$work/bad.out" 2>&1
status=$?
if [ $status -ne 0 ] && grep -q "ERR_BAD_PLATFORM" "$work/bad.out" &&
   grep -q "Platform \"$platform\": StreamGap=5000 is out of range" "$work/bad.out"; then
    pass "StreamGap=5000 is refused with ERR_BAD_PLATFORM and a line naming key and section"
else
    fail "StreamGap out of range: status $status"; show "$work/bad.out"
fi

"$sim" --platform "$platform" --config-dir "$build" --stream-arming soon > /dev/null 2> "$work/err"
status=$?
if [ $status -eq 2 ] && grep -q -- "--stream-arming needs a whole number of milliseconds" "$work/err"; then
    pass "--stream-arming takes whole milliseconds"
else
    fail "--stream-arming soon: status $status"; show "$work/err"
fi

[ $failures -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
