#!/usr/bin/env bash
# Builds the driver and the console host, then runs the demonstration: a simulated line of
# controllers, scanned by merixhost, for a short while. Options are passed to merixhost.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --demo   # only what this build needs, not the test suite's packages
cmake --preset default
cmake --build --preset default -j"$(nproc)" --target merix merixhost vpi_info_print
build/default/tests/vpi_info_print build/default/libmerix.so
build/default/host/console/merixhost "$@"
