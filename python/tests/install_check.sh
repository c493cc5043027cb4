#!/usr/bin/env bash
# The Python package as users install it:
#  - by `cmake --install` into a temporary prefix: imported from the prefix's
#    Python path with no FLASHWIRE_* variable, it finds the installed library,
#    the installed data (share/flashwire) and the installed flashwire-sim, and
#    flashes an image into the simulated phone;
#  - by `pip install --no-build-isolation --no-index` of a copy of python/ into
#    a virtual environment (offline, with Debian's setuptools): importable
#    from the environment, typed (py.typed), working with FLASHWIRE_LIBRARY.
# usage: install_check.sh BUILD_DIR SOURCE_DIR PYTHON
set -u
. "$2/tests/scripts/script_support.bash"

build=$(realpath "${1:?build dir}")
source=$(realpath "${2:?source dir}")
python=${3:?python interpreter}
work=$(realpath "$(mktemp -d)")
prefix="$work/prefix"
trap 'rm -rf "$work"' EXIT
unset FLASHWIRE_LIBRARY FLASHWIRE_DATA_DIR FLASHWIRE_SIM PYTHONPATH

cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
pydir=$(dirname "$(find "$prefix" -path '*-packages/flashwire/__init__.py' | head -n 1)")
[ -d "$pydir" ] || { echo "FAIL: no flashwire package under $prefix"; exit 1; }
pass "installed into ${pydir#"$prefix"/}"
[ -f "$pydir/py.typed" ] || fail "no py.typed in the installed package"

PYTHONPATH=$(dirname "$pydir") "$python" - "$prefix" "$work" <<'PY' && pass "installed package: library, data and daemon of the prefix; an image flashed" || fail "installed package"
import os, sys
from pathlib import Path
import flashwire
from flashwire import _native, sim

prefix, work = Path(sys.argv[1]), Path(sys.argv[2])
lib = flashwire.library()
assert lib.path is not None and lib.path.is_relative_to(prefix), lib.path
assert _native.data_directory(lib) == prefix / "share" / "flashwire", _native.data_directory(lib)
assert Path(sim.find_simulator()) == prefix / "bin" / "flashwire-sim", sim.find_simulator()
image = work / "image.s19"
image.write_text("S00600004844521B\nS3090001000001020304EB\nS70500010000F9\n")
with sim.Phone("demo-passive") as phone, flashwire.Session(ports=phone.ports) as s:
    result = s.flash(image, platform="demo-passive", baud=921600)
phone.stop()
assert result.ok and phone.flash_contents()[0x10000:0x10004] == bytes([1, 2, 3, 4])
PY

# pip, offline, from a copy (a build writes into the source directory).
cp -r "$source/python" "$work/src"
rm -rf "$work/src/build" "$work/src"/*.egg-info
if "$python" -m venv --system-site-packages --without-pip "$work/venv" > "$work/pip.log" 2>&1 &&
    "$work/venv/bin/python" -m pip install --no-build-isolation --no-index --no-deps "$work/src" >> "$work/pip.log" 2>&1; then
    FLASHWIRE_LIBRARY="$build/libflashwire.so" "$work/venv/bin/python" - "$work/venv" <<'PY' && pass "pip install --no-build-isolation --no-index: importable and typed" || fail "pip-installed package"
import sys
from importlib import resources
from pathlib import Path
import flashwire

assert Path(flashwire.__file__).resolve().is_relative_to(Path(sys.argv[1]).resolve()), flashwire.__file__
assert resources.files("flashwire").joinpath("py.typed").is_file()
assert flashwire.Options.parse("/com=1 /mode=verify /file=a.s19").mode == "verify"
PY
else
    cat "$work/pip.log"
    fail "pip install"
fi

[ $failures -eq 0 ] && echo "python install: all checks passed" || echo "python install: $failures failures"
[ $failures -eq 0 ]
