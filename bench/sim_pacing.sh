#!/usr/bin/env bash
# What a flashwire-sim daemon costs while it paces a flash job, and how close
# the job gets to the line's capacity, for the daemon's exact pacing (a
# wake-up for every byte: --time-slice 0) beside its default time slices, in
# one run on this machine:
# - one flashwire job against one daemon (--instant-flash, two ports at
#   921600 baud): the daemon's CPU seconds per MiB flashed (user + system,
#   from /proc/PID/stat around the job) and the flash phase's payload
#   throughput as a share of the line capacity (2 x 921600 / 10 bytes/s);
# - four such jobs at once against four daemons: each job's share of the
#   line capacity and the daemons' mean CPU seconds per MiB;
# - the time a plain client takes for two exchanges with the passive boot ROM
#   at 115200 baud ("info", and a 4 KiB "data"), beside their time on the
#   wire: how late the phone answers.
# FLASHWIRE_SIM_BASELINE=/path/to/another/flashwire-sim adds a column for
# that program run with its own defaults (an older build, say).
# Usage: bench/sim_pacing.sh [SIZE]   (image size, default 1M; K and M suffixes)
set -euo pipefail
cd "$(dirname "$0")/.."
size="${1:-1M}"

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target flashwire-cli flashwire-sim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/flashwire-pacing.XXXXXX")
daemons=()
cleanup() {
  for pid in "${daemons[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

python3 scripts/make-sample-image.py --size "$size" --address 0x0 --seed 1 -o "$work/image.s19" >/dev/null
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# start_daemon N PROGRAM ARGS...: daemon N on links $work/N-a, $work/N-b.
start_daemon() {
  local n=$1 program=$2
  shift 2
  "$program" --platform demo-passive --config-dir build --instant-flash --link "$work/$n-a" --link "$work/$n-b" \
    "$@" >"$work/sim$n.out" 2>"$work/sim$n.err" &
  daemons[n]=$!
  for _ in $(seq 1 100); do grep -qx ready "$work/sim$n.out" 2>/dev/null && return 0; sleep 0.05; done
  echo "sim_pacing: daemon $n did not start" >&2
  cat "$work/sim$n.err" >&2
  exit 1
}
stop_daemons() {
  for n in "${!daemons[@]}"; do kill -TERM "${daemons[n]}" 2>/dev/null || true; wait "${daemons[n]}" 2>/dev/null || true; done
  daemons=()
}
# The flash phase's share of the line capacity and its payload bytes.
phase_ratio() {
  python3 - "$1" <<'PY'
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
if lines[-1].get("type") != "result" or lines[-1].get("code") != 0:
    sys.exit("flash job failed: %s" % lines[-1])
begin = next(l for l in lines if l["type"] == "progress_begin" and l["text"].startswith("Loading Flash"))
end = next(l for l in lines[lines.index(begin):] if l["type"] == "progress_end")
print("%.3f %d" % (begin["total"] / (end["time"] - begin["time"]) / (2 * 921600 / 10), begin["total"]))
PY
}
job() {  # N: a flash job against daemon N, in the background
  build/flashwire --json --port "COM1=$work/$1-a" --port "COM2=$work/$1-b" /platform=demo-passive /com=1,2 \
    /maxspeed=921600,921600 /mode=flash /diff=0 "/file=$work/image.s19" >"$work/job$1.json" &
}

# measure LABEL PROGRAM ARGS...: sets single_cpu single_ratio four_cpu four_ratios.
measure() {
  local label=$1 program=$2
  shift 2
  start_daemon 0 "$program" "$@"
  local before after pid=${daemons[0]}
  before=$(cpu_ticks "$pid")
  job 0
  wait $!
  after=$(cpu_ticks "$pid")
  stop_daemons
  read -r single_ratio bytes <<<"$(phase_ratio "$work/job0.json")"
  single_cpu=$(awk -v t=$((after - before)) -v hz="$ticks" -v b="$bytes" 'BEGIN { printf "%.2f", t / hz / (b / 1048576) }')

  local n starts=() jobs=()
  for n in 1 2 3 4; do start_daemon "$n" "$program" "$@"; done
  for n in 1 2 3 4; do starts[n]=$(cpu_ticks "${daemons[n]}"); done
  for n in 1 2 3 4; do job "$n"; jobs[n]=$!; done
  for n in 1 2 3 4; do wait "${jobs[n]}"; done
  local total=0
  for n in 1 2 3 4; do total=$((total + $(cpu_ticks "${daemons[n]}") - starts[n])); done
  stop_daemons
  four_ratios=""
  for n in 1 2 3 4; do four_ratios+="$(phase_ratio "$work/job$n.json" | awk '{ print $1 }') "; done
  four_cpu=$(awk -v t=$total -v hz="$ticks" -v b="$bytes" 'BEGIN { printf "%.2f", t / 4 / hz / (b / 1048576) }')
  start_daemon 5 "$program" "$@"
  exchanges=$(python3 tests/scripts/sim_daemon_client.py "$work/5-a" | sed -n \
    -e 's/^info:.*, \([0-9.]*\) ms (\([0-9.]*\) ms on the wire).*/"info" \1 ms (wire \2 ms)/p' \
    -e 's/^data: .* in \([0-9.]*\) ms (\([0-9.]*\) ms on the wire).*/"data" \1 ms (wire \2 ms)/p' | paste -sd, -)
  stop_daemons
  labels+=("$label")
  rows_exchanges+=("$exchanges")
  rows_single_cpu+=("$single_cpu")
  rows_single_ratio+=("$single_ratio")
  rows_four_cpu+=("$four_cpu")
  rows_four_ratios+=("$four_ratios")
}

labels=() rows_exchanges=() rows_single_cpu=() rows_single_ratio=() rows_four_cpu=() rows_four_ratios=()
if [ -n "${FLASHWIRE_SIM_BASELINE:-}" ]; then measure baseline "$FLASHWIRE_SIM_BASELINE"; fi
measure "exact (--time-slice 0)" build/flashwire-sim --time-slice 0
measure "time slices (default)" build/flashwire-sim

echo "flash job of $size, demo-passive, --instant-flash, two ports at 921600 baud; $(nproc) cores"
printf '%-24s %22s %22s %22s  %s\n' "daemon" "CPU s/MiB, one job" "line share, one job" "CPU s/MiB, four jobs" \
  "line share of each of four jobs"
for i in "${!labels[@]}"; do
  printf '%-24s %22s %22s %22s  %s\n' "${labels[i]}" "${rows_single_cpu[i]}" "${rows_single_ratio[i]}" \
    "${rows_four_cpu[i]}" "${rows_four_ratios[i]}"
done
echo
echo "exchanges with the passive boot ROM at 115200 baud (elapsed, and on the wire):"
for i in "${!labels[@]}"; do
  printf '%-24s %s\n' "${labels[i]}" "${rows_exchanges[i]}"
done
