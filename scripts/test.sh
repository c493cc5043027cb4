#!/usr/bin/env bash
# Sets up a fresh machine, builds everything and runs the test suite.
# Usage: scripts/test.sh [default|asan|tsan|all]
#   no argument: the default preset (the quick check for a newcomer);
#   all: default, asan and tsan in turn (what CI runs), stopping at the
#   first that fails; default, asan or tsan: that preset only.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-default}" in
  all) presets=(default asan tsan) ;;
  default | asan | tsan) presets=("${1:-default}") ;;
  *)
    echo "usage: scripts/test.sh [default|asan|tsan|all]" >&2
    exit 2
    ;;
esac

scripts/setup.sh
timings=()
for preset in "${presets[@]}"; do
  echo "==== preset $preset"
  start=$SECONDS
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j 2
  built=$SECONDS
  ctest --preset "$preset"
  timings+=("$preset: build $((built - start)) s, tests $((SECONDS - built)) s")
  echo "==== preset $preset passed (build $((built - start)) s, tests $((SECONDS - built)) s)"
done
if [ ${#presets[@]} -gt 1 ]; then
  echo "==== all presets passed"
  printf '  %s\n' "${timings[@]}"
fi
