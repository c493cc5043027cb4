#!/usr/bin/env bash
# The Windows build, tested under Wine on this Debian machine:
#  1. installs what it needs (mingw-w64, Wine, GoogleTest's sources; only
#     the missing packages);
#  2. cross-builds flashwire.dll, its import library, flashwire.exe and the
#     portable test programs (preset "windows", build-windows/), and checks
#     that the DLL exports exactly the Flash* functions and imports from
#     KERNEL32.dll and msvcrt.dll only;
#  3. runs the test programs under Wine (ctest --preset windows);
#  4. runs flashwire.exe against the simulated phone (flashwire-sim of the
#     Linux build) on pseudo-terminals that Wine sees as COM5 and COM6:
#     flash, verify and read of a sample image on one port and on two (one of
#     them through mapped port names), the phone's flash checked after each
#     flash, "platform.def" found beside the executable, and a job aborted by
#     the host (--timeout).
# Leaves no process behind. Exit status 0 when everything passed.
# Usage: scripts/test-windows.sh [--no-unit-tests] [--no-end-to-end]
# Environment: FLASHWIRE_WINEPREFIX (default build-windows/wineprefix).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

unit=yes
e2e=yes
for a in "$@"; do
  case "$a" in
    --no-unit-tests) unit=no ;;
    --no-end-to-end) e2e=no ;;
    *) echo "usage: $0 [--no-unit-tests] [--no-end-to-end]" >&2; exit 2 ;;
  esac
done

step_start=$(date +%s)
step() {
  local now
  now=$(date +%s)
  echo "test-windows: [$((now - step_start)) s] $*"
}

# ---- 1. Packages --------------------------------------------------------------
scripts/setup.sh
packages=(
  mingw-w64 g++-mingw-w64-x86-64-posix   # the cross compiler (posix thread model)
  wine wine64                            # runs the Windows programs
  googletest                             # GoogleTest's sources, built for Windows
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi
step "packages present"

# ---- 2. Builds ----------------------------------------------------------------
cmake --preset windows >/dev/null
if [ "$unit" = yes ]; then
  cmake --build --preset windows -j 2
else
  cmake --build --preset windows -j 2 --target flashwire flashwire-cli
fi
step "cross build done"
if [ "$e2e" = yes ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target flashwire-sim
  step "Linux flashwire-sim built"
fi

win=build-windows
failures=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The DLL's exports and imports.
objdump=x86_64-w64-mingw32-objdump
exports=$($objdump -p "$win/flashwire.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          grep -oE 'Flash[A-Za-z]+' | sort | tr '\n' ' ')
expected="FlashFinish FlashGetErrorString FlashInit FlashLoad FlashMakeOptionString FlashMapPort FlashParseOptionString FlashSetDataDirectory FlashSetTraceFile "
imports=$($objdump -p "$win/flashwire.dll" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
if [ "$exports" = "$expected" ]; then pass "flashwire.dll exports exactly: $exports"; else fail "flashwire.dll exports: $exports"; fi
if [ "$imports" = "KERNEL32.dll msvcrt.dll " ]; then pass "flashwire.dll imports from: $imports"; else fail "flashwire.dll imports from: $imports"; fi
if [ -f "$win/flashwire.dll.a" ]; then pass "import library $win/flashwire.dll.a"; else fail "no import library"; fi

# ---- Wine ---------------------------------------------------------------------
export WINEPREFIX="${FLASHWIRE_WINEPREFIX:-$root/$win/wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the programs are plain console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Headless: console programs need no display.
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "preparing the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
step "Wine prefix ready"
cleanup_wine() { wineserver -k >/dev/null 2>&1 || true; }

# ---- 3. The test programs under Wine --------------------------------------------
if [ "$unit" = yes ]; then
  if ctest --preset windows; then pass "test programs under Wine"; else fail "test programs under Wine"; fi
  step "test programs done"
fi

if [ "$e2e" = no ]; then
  cleanup_wine
  echo "test-windows: $failures failure(s)"
  [ "$failures" -eq 0 ]
  exit
fi

# ---- 4. flashwire.exe against the simulated phone ----------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/flashwire-windows.XXXXXX")
daemon=""
cli=""
stop_daemon() {
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
    kill -TERM "$daemon" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$daemon" 2>/dev/null || true
  fi
  [ -n "$daemon" ] && wait "$daemon" 2>/dev/null || true
  daemon=""
}
cleanup() {
  [ -n "$cli" ] && kill -KILL "$cli" 2>/dev/null
  stop_daemon
  cleanup_wine
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

platform=demo-passive   # an 8 MiB chip at 0: the image goes to address 0
dosdevices="$WINEPREFIX/dosdevices"
# The phone's UARTs appear to Windows programs as COM5 and COM6.
start_daemon() {  # extra daemon options...
  build/flashwire-sim --platform "$platform" --config-dir build --link "$dosdevices/com5" \
    --link "$dosdevices/com6" --flash-file "$work/flash.bin" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  daemon=$!
  for _ in $(seq 1 100); do
    grep -qx ready "$work/sim.out" 2>/dev/null && return 0
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.05
  done
  echo "test-windows: the simulated phone did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
}

# Windows names of files in $work (Wine's drive Z: is the root directory).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Runs flashwire.exe from $work (not its own directory) on a freshly powered
# phone; sets status and seconds.
run_cli() {  # name cli-arguments...
  local name=$1
  shift
  start_daemon
  local begin end
  begin=$(date +%s.%N)
  status=0
  (cd "$work" && exec wine "$root/$win/flashwire.exe" "$@" >"$work/$name.out" 2>"$work/$name.err") &
  cli=$!
  wait "$cli" || status=$?
  cli=""
  end=$(date +%s.%N)
  stop_daemon
  seconds=$(awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.1f", e - b }')
}
show() { for f in "$@"; do echo "--- $f"; tail -n 15 "$f"; done; }

# Compares an S-record image with the phone's flash file (byte k = address k)
# or with another S-record file.
compare() {  # image other(.s19|.bin)
  python3 - "$1" "$2" <<'PY'
import sys
def srec(path):
    out = {}
    for line in open(path):
        line = line.strip()
        if line.startswith("S3"):
            raw = bytes.fromhex(line[2:])
            address = int.from_bytes(raw[1:5], "big")
            for i, b in enumerate(raw[5:-1]):
                out[address + i] = b
    return out
image = srec(sys.argv[1])
if sys.argv[2].endswith(".bin"):
    flash = open(sys.argv[2], "rb").read()
    ok = bool(image) and all(a < len(flash) and flash[a] == b for a, b in image.items())
else:
    ok = bool(image) and srec(sys.argv[2]) == image
sys.exit(0 if ok else 1)
PY
}

size=64K
python3 scripts/make-sample-image.py --size "$size" --address 0x0 --seed 1 -o "$work/one.s19"
python3 scripts/make-sample-image.py --size "$size" --address 0x0 --seed 2 -o "$work/two.s19"
last=$(printf '0x%x' $(( $(python3 -c "
n = 0
for line in open('$work/one.s19'):
    if line.startswith('S3'): n += int(line[2:4], 16) - 5
print(n)") - 1 )))

one=(/com=5 "/platform=$platform")
two=(/com=5,6 "/platform=$platform" /maxspeed=921600,921600)

# One port.
run_cli flash1 "${one[@]}" /mode=flash /diff=0 "/file=$(winpath "$work/one.s19")"
if [ "$status" = 0 ] && compare "$work/one.s19" "$work/flash.bin"; then
  pass "one port (COM5): flash in ${seconds} s, the phone's flash holds the image"
else
  fail "one port: flash, status $status"; show "$work/flash1.out" "$work/flash1.err"
fi
run_cli verify1 "${one[@]}" /mode=verify "/file=$(winpath "$work/one.s19")"
if [ "$status" = 0 ]; then pass "one port: verify in ${seconds} s"; else fail "one port: verify, status $status"; show "$work/verify1.out" "$work/verify1.err"; fi
run_cli read1 "${one[@]}" /mode=read "/read=0x0-$last" "/savefile=$(winpath "$work/read1.s19")"
if [ "$status" = 0 ] && compare "$work/one.s19" "$work/read1.s19"; then
  pass "one port: read in ${seconds} s, the read-back equals the image"
else
  fail "one port: read, status $status"; show "$work/read1.out" "$work/read1.err"
fi

# Two ports, another image; the second verify and the read reach the ports
# through mapped names (FlashMapPort: COM1 and COM2 open \\.\COM5 and \\.\COM6).
mapped=(--port 'COM1=\\.\COM5' --port 'COM2=\\.\COM6' /com=1,2 "/platform=$platform" /maxspeed=921600,921600)
run_cli flash2 -v "${two[@]}" /mode=flash /diff=0 "/file=$(winpath "$work/two.s19")"
if [ "$status" = 0 ] && compare "$work/two.s19" "$work/flash.bin" && grep -q "Logical port 1: COM6" "$work/flash2.out"; then
  pass "two ports (COM5, COM6 at 921600): flash in ${seconds} s over both, the phone's flash holds the image"
else
  fail "two ports: flash, status $status"; show "$work/flash2.out" "$work/flash2.err"
fi
run_cli verify2 -v "${mapped[@]}" /mode=verify "/file=$(winpath "$work/two.s19")"
if [ "$status" = 0 ] && grep -q "Logical port 1: COM2" "$work/verify2.out"; then pass "two ports (mapped names): verify in ${seconds} s"; else fail "two ports: verify, status $status"; show "$work/verify2.out" "$work/verify2.err"; fi
run_cli read2 "${mapped[@]}" /mode=read "/read=0x0-$last" "/savefile=$(winpath "$work/read2.s19")"
if [ "$status" = 0 ] && compare "$work/two.s19" "$work/read2.s19"; then
  pass "two ports (mapped names): read in ${seconds} s, the read-back equals the image"
else
  fail "two ports: read, status $status"; show "$work/read2.out" "$work/read2.err"
fi
run_cli changed "${two[@]}" /mode=verify "/file=$(winpath "$work/one.s19")"
if [ "$status" = 24 ]; then pass "two ports: verify against a changed image fails (exit 24)"; else fail "changed image: status $status"; show "$work/changed.out" "$work/changed.err"; fi

# The configuration beside the executable: the jobs above ran from $work,
# which holds no configuration, with no --config-dir. A copy of the program
# and the DLL in a directory without "platform.def" finds no platform.
mkdir -p "$work/bare"
cp "$win/flashwire.exe" "$win/flashwire.dll" "$work/bare/"
status=0
(cd "$work" && exec wine "$work/bare/flashwire.exe" "${one[@]}" /mode=verify \
  "/file=$(winpath "$work/one.s19")" >"$work/bare.out" 2>"$work/bare.err") || status=$?
if [ "$status" = 30 ] && [ ! -e "$work/platform.def" ]; then
  pass "platform.def is read beside flashwire.exe (the jobs above ran elsewhere); a copy of the program without it: exit 30 (ERR_BAD_PLATFORM)"
else
  fail "configuration beside the executable: status $status"; show "$work/bare.out" "$work/bare.err"
fi

# An abort from the host: the phone powers on in ten minutes.
start_daemon --power-on-delay 600000
t0=$(date +%s%N)
status=0
(cd "$work" && exec wine "$root/$win/flashwire.exe" --timeout 2 "${one[@]}" /mode=verify \
  "/file=$(winpath "$work/one.s19")" >"$work/timeout.out" 2>"$work/timeout.err") || status=$?
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
if [ "$status" = 3 ] && grep -q "time-out: the job ran longer than 2 s" "$work/timeout.err"; then
  pass "--timeout 2 on a silent phone: aborted after $ms ms, exit 3 (ERR_ABORT)"
else
  fail "--timeout: status $status after $ms ms"; show "$work/timeout.out" "$work/timeout.err"
fi
stop_daemon

echo
echo "test-windows: $failures failure(s), $(( $(date +%s) - step_start )) s in all"
[ "$failures" -eq 0 ]
