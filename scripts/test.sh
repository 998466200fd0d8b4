#!/usr/bin/env bash
# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
trap 'scripts/wine.sh stop' EXIT   # ends the Wine server when the suite is done
scripts/wine.sh setup              # MinGW, Wine; the Windows builds; a fresh prefix; a detached Wine server
                                   # (32-bit, or the 64-bit twin where 32-bit programs cannot run)
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"
ctest --preset asan -j"$(nproc)"
# Every place where outside bytes enter, fuzzed for a short while (clang's libFuzzer).
scripts/fuzz.sh 30
