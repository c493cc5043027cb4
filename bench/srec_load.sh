#!/usr/bin/env bash
# S-record loading speed: loads a 64 MiB image's S-record file (16-byte S3
# records, about 200 MB of text) through LoadSRecordFile with progress
# reporting on, checks the loaded bytes, and times srec_cat and objcopy
# converting the same file to binary. The last line tells how many times
# faster the load is than each tool (higher is better).
# Usage: bench/srec_load.sh [runs]   (best of runs, default 3)
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$src/build-bench"
runs="${1:-3}"

for tool in srec_cat objcopy cmake; do
  command -v "$tool" >/dev/null || { echo "srec load: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target srec_load_bench >/dev/null

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

echo "generating a 64 MiB image and its S-record file ..."
head -c 64M /dev/urandom > image.bin
objcopy -I binary -O srec --srec-forceS3 --srec-len 16 image.bin image.srec
echo "S-record file: $(stat -c %s image.srec) bytes, $(wc -l < image.srec) lines"

now() { date +%s.%N; }
# Best wall time of $runs runs of a command whose output must equal image.bin.
time_tool() {
  local best="" start end t
  for ((i = 0; i < runs; i++)); do
    rm -f out.bin
    start=$(now)
    "$@" >/dev/null 2>&1
    end=$(now)
    cmp -s out.bin image.bin || { echo "srec load: $1 produced other bytes" >&2; exit 1; }
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

ours_output=$("$build/bench/srec_load_bench" image.srec image.bin "$runs")
ours=$(echo "$ours_output" | awk '/^load_seconds/ { print $2 }')
updates=$(echo "$ours_output" | awk '/^progress_updates/ { print $2 }')
objcopy_s=$(time_tool objcopy -I srec -O binary image.srec out.bin)
srec_cat_s=$(time_tool srec_cat image.srec -motorola -o out.bin -binary)

echo "LoadSRecordFile: ${ours} s (${updates} progress updates, bytes checked)"
echo "objcopy:         ${objcopy_s} s"
echo "srec_cat:        ${srec_cat_s} s"
awk -v o="$ours" -v a="$objcopy_s" -v c="$srec_cat_s" \
  'BEGIN { printf "srec load: %.2f x objcopy, %.2f x srec_cat\n", a / o, c / o }'
