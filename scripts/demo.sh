#!/usr/bin/env bash
# Flashes, verifies and reads back a sample image on the simulated phone (in
# process, on its virtual clock): sets up a fresh machine, builds what it needs
# and runs the three jobs.
# Usage: scripts/demo.sh [platform [image-KiB]]   (default demo-passive 1024)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target flashwire-sample-job
exec build/flashwire-sample-job "$@"
