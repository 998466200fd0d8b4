#!/usr/bin/env bash
# Builds the driver and shows what it announces to a host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default
cmake --build --preset default -j"$(nproc)"
build/default/tests/vpi_info_print build/default/libmerix.so
