#!/usr/bin/env bash
# Flash, verify and read throughput on the simulated phone's virtual clock: a
# 4 MiB image flashed, verified and read back from power-on at 115200 (one
# port) and 921600 (one and two ports), with instant and with default flash
# timings; every run is checked against the image. Figures are payload bytes
# per second of virtual time over the line capacity (ports x rate / 10). The
# last line gives the flash job's figure with two ports at 921600 and instant
# flash. Builds the driver in the default preset's build tree (./build).
# Usage: bench/flash_throughput.sh [--breakdown]
#   --breakdown: where each flash job's virtual time goes (from the phone's
#   wire log) and the start-up from power-on, for every case.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
cd "$src"
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target flash_throughput >/dev/null
exec "$src/build/bench/flash_throughput" "$@"
