#!/usr/bin/env bash
# The unit tests of the Windows build, through that build's ctest (which runs them under Wine).
# Usage: run_wine_unit_tests.sh CROSS_TEST_DIR. Exits 77 (skipped) when a piece is missing.
set -u
dir="$1"
skip() {
    echo "SKIPPED: $*"
    exit 77
}
command -v wine >/dev/null || skip "wine is not installed (scripts/wine.sh setup)"
[ -f "${WINEPREFIX:-}/system.reg" ] || skip "no Wine prefix at '${WINEPREFIX:-}' (scripts/wine.sh prefix)"
exe="$dir/merix_unit_tests_win32.exe"
[ -f "$exe" ] || skip "$exe is missing: cross build with scripts/wine.sh build"
exec ctest --test-dir "$dir" --output-on-failure
