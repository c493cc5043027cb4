#!/usr/bin/env bash
# The main job, as a user runs it: the simulated phone served on
# pseudo-terminals by flashwire-sim, and the flashwire command line flashing a
# sample image over two ports at 921600 baud, verifying it and reading it back,
# three jobs in a row on one phone (it restarts into its boot ROM after each).
# Then the flash job once more on a phone with instant flash operations, for
# the throughput line. Sets up a fresh machine and builds what it needs first.
# Leaves no process or file behind, also when interrupted.
# Usage: scripts/demo.sh [SIZE]   (image size, default 256K; K and M suffixes)
#        scripts/demo.sh --in-process [PLATFORM [KiB]]   (the same jobs in process, on the virtual clock)
set -euo pipefail
cd "$(dirname "$0")/.."

building() {
  echo "demo: building $1 in build/ (the first run builds it: a few minutes on 2 cores; later runs take seconds)"
}

if [ "${1:-}" = "--in-process" ]; then
  shift
  building "the sample job"
  scripts/setup.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j 2 --target flashwire-sample-job
  exec build/flashwire-sample-job "$@"
fi

size="${1:-256K}"
platform=demo-passive   # an 8 MiB chip at 0: the image goes to address 0

building "flashwire and the simulated phone"
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target flashwire-cli flashwire-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/flashwire-demo.XXXXXX")
daemon=""
stop_daemon() {
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
    kill -TERM "$daemon" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$daemon" 2>/dev/null || true
  fi
  [ -n "$daemon" ] && wait "$daemon" 2>/dev/null || true
  daemon=""
}
cli=""
cleanup() { stop_daemon; rm -rf "$work"; }
# Ctrl-C on a terminal reaches flashwire too (it aborts the job cleanly); a
# signal sent to the script alone is passed on (flashwire takes SIGTERM like
# Ctrl-C). Either way the job ends, then everything is cleaned up.
interrupted() {
  local from_terminal=$1
  echo "demo: interrupted" >&2
  if [ -n "$cli" ] && kill -0 "$cli" 2>/dev/null; then
    if [ "$from_terminal" = yes ]; then
      for _ in $(seq 1 30); do kill -0 "$cli" 2>/dev/null || break; sleep 0.1; done
    fi
    kill -0 "$cli" 2>/dev/null && kill -TERM "$cli" 2>/dev/null
    wait "$cli" 2>/dev/null || true
  fi
  exit 130
}
trap cleanup EXIT
trap 'interrupted yes' INT
trap 'interrupted no' TERM

# One phone for the three jobs: after each job's end byte it restarts into its
# boot ROM with its flash kept, as a phone put back into download mode. The
# daemon logs the commands the phone receives (-v), with their times: the
# flash phase is timed from the phone's side, from "SETP" to "DONE".
start_daemon() {  # log-name extra-options...
  local log=$1
  shift
  build/flashwire-sim --platform "$platform" --config-dir build --link "$work/uart-a" --link "$work/uart-b" \
    -v "$@" >"$work/sim.out" 2>"$work/$log" &
  daemon=$!
  for _ in $(seq 1 100); do
    grep -qx ready "$work/sim.out" 2>/dev/null && return 0
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.05
  done
  echo "demo: the simulated phone did not start:" >&2
  cat "$work/$log" >&2
  exit 1
}
# Seconds from the first "SETP" to the first "DONE" in the phone's log $1.
flash_phase_seconds() {
  awk '{ t = substr($0, 2, index($0, "]") - 2) + 0 }
       /"SETP"/ && t0 == "" { t0 = t }
       /"DONE"/ && t0 != "" { print t - t0; exit }' "$1"
}

python3 scripts/make-sample-image.py --size "$size" --address 0x0 --seed 1 -o "$work/sample.s19"
bytes=$(python3 - "$work/sample.s19" <<'PY'
import sys
n = 0
for line in open(sys.argv[1]):
    if line.startswith("S3"):
        n += int(line[2:4], 16) - 5
print(n)
PY
)
last=$(printf '0x%x' $((bytes - 1)))

declare -A result seconds
run_job() {
  local name=$1
  shift
  echo
  echo "== $name"
  local begin end status=0
  begin=$(date +%s.%N)
  # In the background, so that a signal reaches the script at once.
  build/flashwire --port "COM1=$work/uart-a" --port "COM2=$work/uart-b" \
    "/platform=$platform" /com=1,2 /maxspeed=921600,921600 "$@" &
  cli=$!
  wait "$cli" || status=$?
  cli=""
  end=$(date +%s.%N)
  result[$name]=$status
  seconds[$name]=$(awk -v b="$begin" -v e="$end" 'BEGIN { printf "%.1f", e - b }')
}

start_daemon phone.log --flash-file "$work/flash.bin"
run_job flash /mode=flash /diff=0 "/file=$work/sample.s19"
run_job verify /mode=verify "/file=$work/sample.s19"
run_job read /mode=read "/read=0x0-$last" "/savefile=$work/readback.s19"
stop_daemon
flash_seconds=$(flash_phase_seconds "$work/phone.log")

# The same flash job on a phone whose flash operations take no time: only
# the line limits it.
echo
echo "== flash again, on a phone with instant flash operations (flashwire-sim --instant-flash)"
start_daemon instant.log --instant-flash
build/flashwire -q --port "COM1=$work/uart-a" --port "COM2=$work/uart-b" \
  "/platform=$platform" /com=1,2 /maxspeed=921600,921600 /mode=flash /diff=0 "/file=$work/sample.s19" &
cli=$!
instant_status=0
wait "$cli" || instant_status=$?
cli=""
stop_daemon
instant_seconds=$(flash_phase_seconds "$work/instant.log")
[ "$instant_status" = 0 ] && echo "done" || echo "exit $instant_status"

same=$(python3 - "$work/sample.s19" "$work/readback.s19" <<'PY'
import sys, os
def data(path):
    out = {}
    if not os.path.exists(path):
        return out
    for line in open(path):
        line = line.strip()
        if not line.startswith("S3"):
            continue
        raw = bytes.fromhex(line[2:])
        address = int.from_bytes(raw[1:5], "big")
        for i, b in enumerate(raw[5:-1]):
            out[address + i] = b
    return out
print("equals" if data(sys.argv[1]) == data(sys.argv[2]) and data(sys.argv[1]) else "DIFFERS FROM")
PY
)

echo
echo "== results ($bytes bytes, two ports at 921600 baud, $platform, one phone for the three jobs)"
for name in flash verify read; do
  printf '%-7s exit %-3s %6ss (whole job, from power-on)\n' "$name" "${result[$name]}" "${seconds[$name]}"
done
echo "read-back $same the image"
# The line carries 2 x 921600 / 10 bytes per second (10 bits a byte, two ports).
awk -v n="$bytes" -v s="${flash_seconds:-0}" -v i="${instant_seconds:-0}" 'BEGIN {
  capacity = 2 * 921600 / 10
  if (s > 0 && i > 0) {
    printf "flash phase (\"SETP\" to \"DONE\"): %.1f KiB/s, %.2f of the line capacity (%.0f KiB/s);\n", n / s / 1024, n / s / capacity, capacity / 1024
    printf "  the simulated phone erases (0.1 s + 6.25 ms per KiB of a sector) and programs (10 us a byte)\n"
    printf "  its flash as slowly as a real NOR chip; with --instant-flash the same phase runs at\n"
    printf "  %.1f KiB/s, %.2f of the line capacity\n", n / i / 1024, n / i / capacity
  } else {
    print "flash phase: not timed (the phone logged no complete flash phase)"
  }
}'
[ "${result[flash]}" = 0 ] && [ "${result[verify]}" = 0 ] && [ "${result[read]}" = 0 ] && [ "$same" = equals ]
