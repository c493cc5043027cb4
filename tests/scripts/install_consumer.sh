#!/usr/bin/env bash
# The installed tree in a temporary prefix: exactly the shared library with its
# SONAME links, the public header, the CMake package and "flashwire.pc", the
# programs (flashwire-sim; the command line and its manual page when they are
# built), the licence and the change log, and the config/ tree in
# share/flashwire. Then the example host in examples/consumer is built
# against it through find_package(flashwire) and through pkg-config (as C and
# as C++) and run; the installed daemon starts with its installed sample
# configuration; a package version the library does not match is refused.
# usage: install_consumer.sh BUILD_DIR SOURCE_DIR
set -u
. "$(dirname "${BASH_SOURCE[0]}")/script_support.bash"

build=$(realpath "${1:?build dir}")
source=${2:?source dir}
work=$(mktemp -d)
work=$(realpath "$work")
prefix="$work/prefix"
daemon_pid=""

cleanup() {
    kill_all "$daemon_pid"
    rm -rf "$work"
}
trap cleanup EXIT
# Runs a command with its output in $work/log; shows the log when it fails.
logged() {
    "$@" > "$work/log" 2>&1 && return 0
    echo "--- $*"
    cat "$work/log"
    return 1
}
# The file the dynamic loader takes for libflashwire.so.0 in a program, with
# every link resolved.
loaded_library() {
    local path
    path=$(ldd "$1" | awk '$1 == "libflashwire.so.0" { print $3 }')
    [ -n "$path" ] && readlink -f "$path"
}

logged cmake --install "$build" --prefix "$prefix" || { echo "FAIL: cmake --install"; exit 1; }

# ---- Layout.
lib_so=$(cd "$prefix" && find . -name libflashwire.so | sed 's|^\./||')
[ -n "$lib_so" ] || { echo "FAIL: no libflashwire.so under $prefix"; exit 1; }
libdir=$(dirname "$lib_so")
case "$libdir" in lib | lib64 | lib/*) pass "library directory $libdir" ;; *) fail "library directory $libdir" ;; esac
real_lib=$(readlink -f "$prefix/$lib_so")
version=$(basename "$real_lib" | sed -n 's/^libflashwire\.so\.\([0-9]*\.[0-9]*\.[0-9]*\)$/\1/p')
[ -n "$version" ] || { echo "FAIL: libflashwire.so leads to $real_lib"; exit 1; }

# The command line is installed when the build has its target (flashwire-cli,
# built as "flashwire").
have_cli=0
grep -Fq "FILES \"$build/flashwire\"" "$build/cmake_install.cmake" && have_cli=1
patterns=(
    "bin/flashwire-sim"
    "include/flashwire/flash_api\.h"
    "$libdir/libflashwire\.so"
    "$libdir/libflashwire\.so\.0"
    "$libdir/libflashwire\.so\.$version"
    "$libdir/cmake/flashwire/flashwireConfig\.cmake"
    "$libdir/cmake/flashwire/flashwireConfigVersion\.cmake"
    "$libdir/cmake/flashwire/flashwireTargets\.cmake"
    "$libdir/cmake/flashwire/flashwireTargets-[a-z]+\.cmake"
    "$libdir/pkgconfig/flashwire\.pc"
    "share/flashwire/.+"
    "lib/python3[.0-9]*/(dist|site)-packages/flashwire/([a-z_]+\.py|py\.typed)"
)
[ $have_cli -eq 1 ] && patterns+=("bin/flashwire")
[ -f "$build/flashwire.1" ] && patterns+=("share/man/man1/flashwire\.1")
patterns+=("share/doc/flashwire/LICENSE" "share/doc/flashwire/CHANGELOG\.md")
# The flashing station, on systems where it is built.
have_station=0
grep -Fqs '/flashwire-station"' "$build/tools/station/cmake_install.cmake" && have_station=1
[ $have_station -eq 1 ] && patterns+=("bin/flashwire-station")
(cd "$prefix" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\./||' | sort) > "$work/files"
for p in "${patterns[@]}"; do
    grep -Eqx "$p" "$work/files" || fail "nothing installed as $p"
done
while read -r f; do
    matched=0
    for p in "${patterns[@]}"; do
        grep -Eqx "$p" <<<"$f" && { matched=1; break; }
    done
    [ $matched -eq 1 ] || fail "unexpected file installed: $f"
done < "$work/files"
echo "installed: $(wc -l < "$work/files") files (command line: $([ $have_cli -eq 1 ] && echo yes || echo "not built"))"

[ "$(readlink "$prefix/$libdir/libflashwire.so")" = libflashwire.so.0 ] &&
    [ "$(readlink "$prefix/$libdir/libflashwire.so.0")" = "libflashwire.so.$version" ] &&
    [ -f "$prefix/$libdir/libflashwire.so.$version" ] && [ ! -L "$prefix/$libdir/libflashwire.so.$version" ] ||
    fail "links libflashwire.so -> .so.0 -> .so.$version"
readelf -d "$prefix/$libdir/libflashwire.so.$version" | grep -q 'SONAME.*\[libflashwire\.so\.0\]' ||
    fail "SONAME of libflashwire.so.$version is not libflashwire.so.0"
cmp -s "$source/include/flashwire/flash_api.h" "$prefix/include/flashwire/flash_api.h" || fail "installed header differs"
diff -r "$source/config" "$prefix/share/flashwire" > "$work/log" || { cat "$work/log"; fail "share/flashwire differs from config/"; }
if [ $have_station -eq 1 ]; then
    "$prefix/bin/flashwire-station" --version | grep -q "^flashwire-station $version" &&
        pass "installed flashwire-station runs" || fail "installed flashwire-station does not run"
fi
[ $failures -eq 0 ] && pass "layout: library $version with its links, header, package files, programs, sample data"

# Programs and libraries of a sanitizer build need the same sanitizer in a host.
sanitize=$(sed -n 's/^FLASHWIRE_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
san_flags=""
[ -n "$sanitize" ] && san_flags="-fsanitize=$sanitize"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# Runs a built consumer: the default option string is accepted, "/com=13" is not.
check_consumer() {
    local program=$1 what=$2 out
    out=$("$program" 2>&1)
    if [ $? -eq 0 ] && grep -qx "SUCCESS: 3 options accepted, mode 1" <<<"$out" &&
        grep -qx "  \[0\] /mode=verify" <<<"$out"; then
        pass "$what: option string parsed"
    else
        fail "$what: default option string"
        echo "$out"
    fi
    out=$("$program" "/com=13" 2>&1)
    if [ $? -eq 1 ] && grep -qx "ERR_BAD_CMDLINE: 0 options accepted, mode 0" <<<"$out"; then
        pass "$what: bad option string refused with ERR_BAD_CMDLINE"
    else
        fail "$what: bad option string"
        echo "$out"
    fi
    [ "$(loaded_library "$program")" = "$real_lib" ] || fail "$what loads $(loaded_library "$program")"
}

# ---- find_package(flashwire).
if logged cmake -S "$source/examples/consumer" -B "$work/cmake-build" "${generator[@]}" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror -pedantic $san_flags" -DCMAKE_EXE_LINKER_FLAGS="$san_flags" &&
    logged cmake --build "$work/cmake-build"; then
    found=$(sed -n 's/^flashwire_DIR:[A-Z]*=//p' "$work/cmake-build/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/flashwire" ] || fail "find_package took $found"
    # The target flashwire::flashwire brings the installed include directory.
    grep -Eq -- "(-I|-isystem )$prefix/include " "$work/cmake-build/compile_commands.json" ||
        { cat "$work/cmake-build/compile_commands.json"; fail "consumer compiled without $prefix/include"; }
    check_consumer "$work/cmake-build/flashwire-consumer" "find_package build"
else
    fail "consumer through find_package(flashwire)"
fi

# The package's version, include directory and data directory; a version
# the library does not match is not found.
mkdir -p "$work/version"
cat > "$work/version/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(version_check LANGUAGES NONE)
find_package(flashwire 99.0 QUIET)
if(flashwire_FOUND)
  message(FATAL_ERROR "flashwire 99.0 found: ${flashwire_VERSION}")
endif()
find_package(flashwire ${WANT} EXACT REQUIRED)
message(STATUS "version=${flashwire_VERSION}")
message(STATUS "includes=${flashwire_INCLUDE_DIR}")
message(STATUS "data=${flashwire_DATA_DIR}")
EOF
if logged cmake -S "$work/version" -B "$work/version/build" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DWANT="$version"; then
    grep -qx -- "-- version=$version" "$work/log" &&
        grep -qx -- "-- includes=$prefix/include" "$work/log" &&
        grep -qx -- "-- data=$prefix/share/flashwire" "$work/log" &&
        pass "package version $version, include and data directories; 99.0 not found" ||
        { cat "$work/log"; fail "package variables"; }
else
    fail "package version check"
fi

# ---- pkg-config.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
if flags=$(pkg-config --cflags --libs flashwire); then
    [ "$(pkg-config --modversion flashwire)" = "$version" ] || fail "pkg-config version $(pkg-config --modversion flashwire)"
    pc_libdir=$(realpath -m "$(pkg-config --variable=libdir flashwire)")
    [ "$pc_libdir" = "$prefix/$libdir" ] || fail "pkg-config libdir $pc_libdir"
    [ "$(realpath -m "$(pkg-config --variable=includedir flashwire)")" = "$prefix/include" ] ||
        fail "pkg-config includedir"
    [ "$(realpath -m "$(pkg-config --variable=pkgdatadir flashwire)")" = "$prefix/share/flashwire" ] ||
        fail "pkg-config pkgdatadir"
    # shellcheck disable=SC2086
    if logged cc -std=c99 -Wall -Wextra -Werror -pedantic $san_flags "$source/examples/consumer/main.c" \
            $flags -Wl,-rpath,"$pc_libdir" -o "$work/consumer-c"; then
        check_consumer "$work/consumer-c" "pkg-config build (C)"
    else
        fail "pkg-config build (C)"
    fi
    # shellcheck disable=SC2086
    if logged c++ -std=c++20 -Wall -Wextra -Werror -pedantic $san_flags -x c++ "$source/examples/consumer/main.c" \
            -x none $flags -Wl,-rpath,"$pc_libdir" -o "$work/consumer-cxx"; then
        check_consumer "$work/consumer-cxx" "pkg-config build (C++)"
    else
        fail "pkg-config build (C++)"
    fi
else
    fail "pkg-config --cflags --libs flashwire"
fi

# ---- Installed programs.
if [ $have_cli -eq 1 ]; then
    [ "$(loaded_library "$prefix/bin/flashwire")" = "$real_lib" ] ||
        fail "installed flashwire loads $(loaded_library "$prefix/bin/flashwire")"
fi
platform=$(awk -F'[][]' '/^\[/ { print $2; exit }' "$prefix/share/flashwire/platform.def")
"$prefix/bin/flashwire-sim" --platform "$platform" > "$work/sim.out" 2> "$work/sim.err" &
daemon_pid=$!
for _ in $(seq 1 100); do
    grep -qx ready "$work/sim.out" && break
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.05
done
if grep -qx ready "$work/sim.out"; then
    kill -TERM "$daemon_pid"
    wait "$daemon_pid"
    status=$?
    daemon_pid=""
    [ $status -eq 0 ] && pass "installed flashwire-sim runs platform $platform from share/flashwire" ||
        fail "flashwire-sim exit status $status after SIGTERM"
else
    fail "installed flashwire-sim did not get ready"
    cat "$work/sim.out" "$work/sim.err"
fi

[ $failures -eq 0 ] && echo "install_consumer: all checks passed" || echo "install_consumer: $failures failures"
[ $failures -eq 0 ]
