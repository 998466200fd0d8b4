#!/usr/bin/env bash
# Installs Debian packages, only those missing: the ones named as arguments; with --demo, what
# scripts/demo.sh builds and runs; or else what the build and the tests need.
# Usage: scripts/deps.sh [--demo | PACKAGE...]
set -euo pipefail
source "$(dirname "$0")/lib/apt_install.sh"
# The demo builds the driver, merixhost (CLI11, fmt, nlohmann-json, and the simulator, which
# needs CLI11 and nlohmann-json too) and vpi_info_print, which lives with the tests: those are
# configured only where GoogleTest is found.
demo=(build-essential cmake g++ libgtest-dev libcli11-dev nlohmann-json3-dev libfmt-dev)
# Beside those, what the test suite and the rest of the tree use: libmodbus (the other end of
# some tests, and the benchmark's yardstick), mbpoll, the other ends of the network ports'
# tests (ser2net as the device server, raw and RFC 2217; pymodbus as an RTU slave on TCP; socat),
# and the release test's tools: dpkg-dev and file for the Debian packages, pkgconf for its
# pkg-config consumer, lintian for its check of the packages; tshark reads the line captures;
# chromium opens merixhost's run report as a user's browser would.
packages=("${demo[@]}" libgmock-dev libmodbus-dev mbpoll libbenchmark-dev
          ser2net python3-pymodbus socat dpkg-dev file pkgconf lintian tshark chromium)
if [ "${1:-}" = --demo ]; then
    packages=("${demo[@]}")
elif (($#)); then
    packages=("$@")
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    apt_install "${missing[@]}"
fi
