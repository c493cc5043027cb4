#!/usr/bin/env bash
# The installed command line works wherever it lands: the Debian package built
# from this build (cpack) is extracted with dpkg-deb -x into a temporary root,
# and the build is installed with cmake --install --prefix into a second,
# unrelated prefix. In each, the installed flashwire finds its data in
# <exe dir>/../share/flashwire (--help names it, `flashwire platforms` reads
# it) and flashes an image into the installed flashwire-sim; the manual page
# flashwire(1) is there.
# usage: install_relocated.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(realpath "${1:?build dir}")
source=$(realpath "${2:?source dir}")
work=$(realpath "$(mktemp -d)")
daemon_pid=""
cleanup() {
    kill_all "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
show() { for f in "$@"; do echo "--- $f"; tail -n 20 "$f"; done; }

grep -Fq "FILES \"$build/flashwire\"" "$build/cmake_install.cmake" ||
    { echo "the command line is not built: nothing to test"; exit 0; }
python3 "$source/scripts/make-sample-image.py" --size 16K --address 0x10000 --seed 3 -o "$work/image.s19" > /dev/null

# Flashes the image with the installed programs under ROOT/PREFIX and checks
# the phone's flash; the daemon and the command line find their data alone.
flash_with() {  # what root-of-bin
    local what=$1 bin=$2 flash="$work/$1.flash" status
    local data
    data=$(realpath -m "$bin/../share/flashwire")
    if ! "$bin/flashwire" --help > "$work/help" 2>&1 || ! grep -q "share/flashwire" "$work/help"; then
        fail "$what: flashwire --help"; show "$work/help"
    fi
    "$bin/flashwire" platforms > "$work/platforms" 2>&1
    grep -qxF "Platforms of $data/platform.def:" "$work/platforms" ||
        { fail "$what: flashwire platforms does not read $data"; show "$work/platforms"; }
    rm -f "$work/sim.out" "$work/sim.err"  # no earlier daemon's "ready" taken for this one's
    "$bin/flashwire-sim" --platform demo-passive --link "$work/uart-a" --link "$work/uart-b" --flash-file "$flash" \
        > "$work/sim.out" 2> "$work/sim.err" &
    daemon_pid=$!
    if ! wait_ready "$work/sim.out" "$daemon_pid"; then
        fail "$what: the installed daemon did not get ready"; show "$work/sim.err"
        return
    fi
    "$bin/flashwire" flash --platform demo-passive --port "$work/uart-a" --port "$work/uart-b" --baud 921600 \
        "$work/image.s19" > "$work/flash.out" 2>&1 < /dev/null
    status=$?
    kill -TERM "$daemon_pid"
    wait "$daemon_pid"
    daemon_pid=""
    python3 -c '
import sys
data = bytearray()
for line in open(sys.argv[1]):
    if line.startswith("S3"):
        data += bytes.fromhex(line.strip()[2:])[5:-1]
open(sys.argv[2], "wb").write(data)' "$work/image.s19" "$work/image.bin"
    if [ $status -eq 0 ] && cmp -s -i $((0x10000)):0 -n 16384 "$flash" "$work/image.bin"; then
        pass "$what: the installed flashwire flashed the installed flashwire-sim, data from $data"
    else
        fail "$what: flash job status $status"; show "$work/flash.out"
    fi
}

# ---- The Debian package, extracted into a temporary root.
if command -v cpack > /dev/null && command -v dpkg-deb > /dev/null; then
    if (cd "$build" && cpack -G DEB -B "$work/package" > "$work/cpack.log" 2>&1); then
        deb=$(ls "$work"/package/flashwire_*.deb)
        dpkg-deb -x "$deb" "$work/root"
        dpkg-deb -f "$deb" Description > "$work/description"
        grep -q "command line" "$work/description" && grep -q "flashwire-sim" "$work/description" &&
            grep -q "simulated phone" "$work/description" ||
            { fail "the package description names neither the command line nor the simulated phone"; cat "$work/description"; }
        [ -f "$work/root/usr/share/man/man1/flashwire.1" ] || [ ! -f "$build/flashwire.1" ] ||
            fail "the package has no manual page flashwire(1)"
        [ -f "$work/root/usr/share/doc/flashwire/LICENSE" ] || fail "the package has no LICENSE"
        flash_with package "$work/root/usr/bin"
    else
        fail "cpack -G DEB"; show "$work/cpack.log"
    fi
else
    echo "cpack or dpkg-deb missing: the package part is skipped"
fi

# ---- A second, unrelated prefix.
if cmake --install "$build" --prefix "$work/elsewhere/tools" > "$work/install.log" 2>&1; then
    [ -f "$work/elsewhere/tools/share/man/man1/flashwire.1" ] || [ ! -f "$build/flashwire.1" ] ||
        fail "no manual page under the second prefix"
    flash_with prefix "$work/elsewhere/tools/bin"
else
    fail "cmake --install --prefix"; show "$work/install.log"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
