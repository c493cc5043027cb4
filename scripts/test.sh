#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs the whole test suite.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j 2
ctest --preset "$preset"
