#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and demonstrate
# flashwire. Safe to run again: it installs only missing packages.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc make pkg-config   # build
  libgtest-dev                                 # unit tests
  libcli11-dev nlohmann-json3-dev              # the command line's flags and its --json lines
  srecord binutils                             # S-record tools the interoperability tests compare with
  python3                                      # scripted tests against the simulated phone
  dpkg-dev                                     # the Debian package's dependencies (cpack -G DEB)
  ccache                                       # repeated builds reuse earlier compilations
  help2man                                     # the manual page flashwire(1), made at build time
  libtomlplusplus-dev                          # the station file (TOML)
  libsqlite3-dev libpq-dev postgresql          # the station's results: SQLite, and PostgreSQL for a line
  libcpp-httplib-dev                           # the station's dashboard
  chromium chromium-driver python3-selenium    # the dashboard's test in a real browser
  python3-pytest python3-setuptools python3-pip python3-venv  # the Python package and its tests
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $SUDO apt-get install -y "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y "${missing[@]}"
fi
