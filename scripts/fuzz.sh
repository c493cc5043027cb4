#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ against the library core and runs
# each for the given number of seconds (default 60) from its seed corpus.
# Exits non-zero when a harness finds a crash or a broken invariant.
#   scripts/fuzz.sh [seconds-per-target]
# Environment: CXX (default clang++), FUZZ_BUILD_DIR (default build-fuzz),
# FUZZ_TARGETS (default: all four), FUZZ_JOBS (parallel compiles).
# A target <t> is fuzz/<t>_fuzz.cpp, with fuzz/<t>_harness.cpp when there is one.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
cxx="${CXX:-clang++}"
jobs="${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}"
targets="${FUZZ_TARGETS:-option_string srec_reader platform_files protocol}"

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all
       -fconstexpr-steps=100000000 -Wall -Wextra -I"$root/include" -I"$root/src" -I"$root" "-DFLASHWIRE_EXPORT=" -DFLASHWIRE_CHECKS=1)

mkdir -p "$build/obj"

# The core: every source under src/ except the platform layers of other
# systems (as the CMake build does).
mapfile -t sources < <(find "$root/src" -name '*.cpp' -not -path '*/src/platform/win32/*' | sort)
compile() {
    local src="$1" obj="$build/obj/$(echo "${1#$root/}" | tr '/' '_').o"
    if [[ ! -f "$obj" || "$src" -nt "$obj" ]] || find "$root/src" "$root/include" -name '*.h' -newer "$obj" | grep -q .; then
        "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"
    fi
}
export -f compile
export root build cxx
export FLAGS_STR="${flags[*]}"
printf '%s\n' "${sources[@]}" | xargs -P "$jobs" -I{} bash -c 'flags=($FLAGS_STR); compile "$1"' _ {}
objects=()
for src in "${sources[@]}"; do objects+=("$build/obj/$(echo "${src#$root/}" | tr '/' '_').o"); done

status=0
for t in $targets; do
    echo "== $t: building"
    # A harness of its own (fuzz/<t>_harness.cpp) is built with the sanitizers
    # but without coverage: its checks are no paths for the fuzzer to explore.
    extra=()
    if [[ -f "$root/fuzz/${t}_harness.cpp" ]]; then
        "$cxx" "${flags[@]}" -c "$root/fuzz/${t}_harness.cpp" -o "$build/obj/fuzz_${t}_harness.o"
        extra+=("$build/obj/fuzz_${t}_harness.o")
    fi
    "$cxx" "${flags[@]}" -fsanitize=fuzzer "$root/fuzz/${t}_fuzz.cpp" "${extra[@]}" "${objects[@]}" -lpthread \
        -o "$build/${t}_fuzz"
    work="$build/corpus/$t"
    mkdir -p "$work" "$build/artifacts/$t"
    echo "== $t: running ${seconds}s"
    rc=0
    # The protocol inputs carry whole sessions (a read job's data among them).
    maxlen=4096
    [[ $t == protocol ]] && maxlen=16384
    "$build/${t}_fuzz" -max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-$maxlen}" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t/" "$work" "$root/fuzz/corpus/$t" >"$build/$t.log" 2>&1 || rc=$?
    grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|DONE|==[0-9]+==ERROR|SUMMARY|INVARIANT|runtime error|^protocol_fuzz:' "$build/$t.log" || true
    if [[ $rc -ne 0 ]] || grep -qE 'ERROR: (AddressSanitizer|libFuzzer)|INVARIANT FAILED|runtime error' "$build/$t.log"; then
        echo "== $t: FAILED (see $build/$t.log and $build/artifacts/$t/)"
        status=1
    else
        echo "== $t: ok"
    fi
done
exit $status
