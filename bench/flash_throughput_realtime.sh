#!/usr/bin/env bash
# The flash job in real time: flashwire-sim on two pseudo-terminals with
# instant flash operations, the flashwire command line flashing a sample image
# over two ports at 921600 baud. Prints the flash phase's payload throughput
# (from its --json progress lines) as a share of the line capacity
# (2 x 921600 / 10 bytes per second), without and with the wire trace
# (--trace), in alternating runs, beside the virtual-clock figure of
# bench/flash_throughput for the same case.
# Usage: [RUNS=3] bench/flash_throughput_realtime.sh [SIZE]   (default 1M)
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-1M}"

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target flashwire-cli flashwire-sim flash_throughput >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/flashwire-bench.XXXXXX")
daemon=""
cleanup() {
  if [ -n "$daemon" ]; then
    kill -TERM "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

python3 scripts/make-sample-image.py --size "$size" --address 0x0 --seed 1 -o "$work/image.s19"

# A fresh daemon for every job: its phone stays in the flash loader after one.
start_daemon() {
  rm -f "$work/sim.out"
  build/flashwire-sim --platform demo-passive --config-dir build --instant-flash \
    --link "$work/a" --link "$work/b" >"$work/sim.out" 2>"$work/sim.err" &
  daemon=$!
  for _ in $(seq 1 100); do grep -qx ready "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
}
stop_daemon() {
  kill -TERM "$daemon" 2>/dev/null || true
  wait "$daemon" 2>/dev/null || true
  daemon=""
}

# One flash job against the daemon; prints "ratio bytes seconds" of its flash
# phase. Further arguments go to flashwire (--trace FILE).
flash_job() {
  start_daemon
  build/flashwire --json "$@" --port "COM1=$work/a" --port "COM2=$work/b" /platform=demo-passive /com=1,2 \
    /maxspeed=921600,921600 /mode=flash /diff=0 "/file=$work/image.s19" >"$work/job.json"
  stop_daemon
  python3 - "$work/job.json" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
result = lines[-1]
if result.get("type") != "result" or result.get("code") != 0:
    sys.exit("flash job failed: %s" % result)
begin = next(l for l in lines if l["type"] == "progress_begin" and l["text"].startswith("Loading Flash"))
i = lines.index(begin)
end = next(l for l in lines[i:] if l["type"] == "progress_end")
seconds = end["time"] - begin["time"]
capacity = 2 * 921600 / 10
print("%.3f %d %.2f" % (begin["total"] / seconds / capacity, begin["total"], seconds))
PY
}

# Side by side: jobs without and with the wire trace, alternating, RUNS
# pairs; the medians and their ratio.
runs="${RUNS:-3}"
plain=()
traced=()
for _ in $(seq 1 "$runs"); do
  read -r ratio bytes seconds <<<"$(flash_job)"
  plain+=("$ratio")
  read -r ratio bytes seconds <<<"$(flash_job --trace "$work/wire.trace")"
  traced+=("$ratio")
done
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
plain_median=$(median "${plain[@]}")
traced_median=$(median "${traced[@]}")
trace_lines=$(wc -l < "$work/wire.trace")
trace_bytes=$(wc -c < "$work/wire.trace")
virtual=$(build/bench/flash_throughput | tail -1 | awk '{ print $3 }')
echo "real time:     $bytes bytes: $plain_median of line capacity (2 ports, 921600, instant flash; flash phase, wall clock; median of $runs: ${plain[*]})"
echo "with --trace:  $traced_median of line capacity (median of $runs: ${traced[*]}); trace of one job: $trace_lines lines, $trace_bytes bytes"
echo "traced / plain: $(awk -v a="$traced_median" -v b="$plain_median" 'BEGIN { printf "%.3f", a / b }')"
echo "virtual clock: $virtual of line capacity (2 ports, 921600, instant flash; 4 MiB, first \"SETP\" to \"DONE\")"
