#!/usr/bin/env bash
# The unit tests of the Windows build, through that build's ctest (which runs them under Wine).
# Usage: run_wine_unit_tests.sh TEST_DIR (relative to the chosen cross build). Exits 77
# (skipped) when a piece is missing.
set -u
# shellcheck source=wine_target.sh
. "$(dirname "$0")/wine_target.sh"
dir="$MERIX_WINE_CROSS/$1"
exe="$dir/merix_unit_tests_win32.exe"
[ -f "$exe" ] || skip "$exe is missing: cross build with scripts/wine.sh build"
exec ctest --test-dir "$dir" --output-on-failure
