#!/usr/bin/env bash
# examples/station built against the installed package (cmake --install into
# a temporary prefix, find_package(flashwire)) flashes one image into 2 and
# then 8 flashwire-sim daemons at once, one pair of ports each, and verifies
# it in 2 again; every daemon's flash must hold the image. The README's
# pkg-config example runs against the same prefix.
# usage: station.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(realpath "${1:?build dir}")
source=$(realpath "${2:?source dir}")
work=$(realpath "$(mktemp -d)")
prefix="$work/prefix"
pids=()
cleanup() {
    kill_all "${pids[@]}"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || { show "$work/install.log"; exit 1; }
sanitize=$(sed -n 's/^FLASHWIRE_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
flags=""
[ -n "$sanitize" ] && flags="-fsanitize=$sanitize"
generator=()
command -v ninja > /dev/null && generator=(-G Ninja)
if ! cmake -S "$source/examples/station" -B "$work/station" "${generator[@]}" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_C_FLAGS="-Wall -Wextra -Werror -pedantic $flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$work/build.log" 2>&1 ||
   ! cmake --build "$work/station" >> "$work/build.log" 2>&1; then
    show "$work/build.log"
    echo "FAIL: examples/station does not build against the installed package"
    exit 1
fi
station="$work/station/flashwire-station"
pass "examples/station built against $prefix"

python3 "$source/scripts/make-sample-image.py" --size 16K --address 0x20000 --seed 9 -o "$work/image.s19" > /dev/null
python3 -c '
import sys
data = bytearray()
for line in open(sys.argv[1]):
    if line.startswith("S3"):
        data += bytes.fromhex(line.strip()[2:])[5:-1]
open(sys.argv[2], "wb").write(data)' "$work/image.s19" "$work/image.bin"

# Every build at 921600: the daemons pace in time slices, so even a
# sanitizer build's 16 programs at once on two cores keep up with the line.
rate=921600

# Starts N installed daemons (fresh phones, or the flash files of an earlier
# run), waits for all, and runs the station on their links.
run_station() {  # count mode
    local count=$1 mode=$2 k devices=()
    pids=()
    for k in $(seq 1 "$count"); do
        "$prefix/bin/flashwire-sim" --platform demo-passive --link "$work/a$k" --link "$work/b$k" \
            --flash-file "$work/phone$k.flash" > "$work/sim$k.out" 2> "$work/sim$k.err" &
        pids+=($!)
        devices+=("$work/a$k" "$work/b$k")
    done
    for k in $(seq 1 "$count"); do
        wait_ready "$work/sim$k.out" "${pids[$((k - 1))]}" || { fail "daemon $k did not get ready"; show "$work/sim$k.err"; }
    done
    "$station" -m "$mode" -b "$rate" demo-passive "$work/image.s19" "${devices[@]}" > "$work/station.out" 2>&1
    status=$?
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    pids=()
}

for n in 2 8; do
    rm -f "$work"/phone*.flash
    t0=$(date +%s%N)
    run_station $n flash
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    ok=1
    for k in $(seq 1 $n); do
        cmp -s -i $((0x20000)):0 -n 16384 "$work/phone$k.flash" "$work/image.bin" || { ok=0; fail "phone $k of $n does not hold the image"; }
    done
    if [ $status -eq 0 ] && [ $ok -eq 1 ] && grep -q "^$n job(s), $n succeeded, 0 failed" "$work/station.out"; then
        pass "$n jobs at once: every phone holds the image ($ms ms with the daemons' start; $(tail -n 1 "$work/station.out"))"
    else
        fail "$n jobs at once: status $status"; show "$work/station.out"
    fi
done

run_station 2 verify
if [ $status -eq 0 ] && grep -q "^2 job(s), 2 succeeded" "$work/station.out"; then
    pass "2 verify jobs at once on the flashed phones"
else
    fail "verify jobs: status $status"; show "$work/station.out"
fi

# The README's pkg-config example, run as written with its prefix replaced by
# this one (in a directory that has the examples), builds and runs.
mkdir "$work/readme"
ln -s "$source/examples" "$work/readme/examples"
sed -n '/^<!-- pkg-config example/,/^```$/p' "$source/README.md" | sed -e '1,2d' -e '$d' |
    sed "s|/opt/flashwire|$prefix|g" > "$work/readme/example.sh"
if [ -n "$sanitize" ]; then
    echo "a sanitizer build: the README's pkg-config example is not run (it compiles without -fsanitize)"
elif [ "$(wc -l < "$work/readme/example.sh")" -ge 3 ] &&
     (cd "$work/readme" && bash -e example.sh) > "$work/readme.out" 2>&1 &&
     grep -qx "SUCCESS: 3 options accepted, mode 1" "$work/readme.out"; then
    pass "the README's pkg-config example builds and runs the consumer (rpath to $prefix)"
else
    fail "the README's pkg-config example"; cat "$work/readme/example.sh"; show "$work/readme.out"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
