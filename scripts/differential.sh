#!/usr/bin/env bash
# Compares the driver of a commit with the working tree's: both builds run the same random
# transactions on the fake platform (tests/differential), and write their results, every log
# line, every platform call and the line trace. A refactoring must leave them the same.
# Usage: scripts/differential.sh BASE [SEEDS] [COMMANDS]   (defaults: 40 seeds, 300 commands)
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:?usage: scripts/differential.sh BASE [SEEDS] [COMMANDS]}
seeds=${2:-40}
commands=${3:-300}
work=$(mktemp -d)
cleanup() {
    git worktree remove --force "$work/base" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
git worktree add --detach "$work/base" "$base" >/dev/null
# Both sides run this tree's copy of the tool: only the driver is compared. With SAME_FAKE=1 the
# base runs this tree's fake platform too, so that a change of the fake's timing (which moves
# every logged timer) does not hide the driver's differences.
mkdir -p "$work/base/tests/differential"
cp tests/differential/differential_run.cpp "$work/base/tests/differential/"
if [ "${SAME_FAKE:-0}" = 1 ]; then
    cp platform/fake_platform.h platform/fake_platform.cpp "$work/base/platform/"
fi
if ! grep -q '^add_executable(merix_differential' "$work/base/tests/CMakeLists.txt"; then
    sed -n '/^add_executable(merix_differential/,/^merix_warnings(merix_differential)/p' \
        tests/CMakeLists.txt >>"$work/base/tests/CMakeLists.txt"
fi
build() { # SOURCE BUILD
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Debug >"$2.log" 2>&1
    cmake --build "$2" --target merix_differential -j"$(nproc)" >>"$2.log" 2>&1 ||
        { cat "$2.log"; exit 1; }
}
build "$work/base" "$work/build-base"
build . "$work/build-now"
differ=0
for seed in $(seq 1 "$seeds"); do
    "$work/build-base/tests/merix_differential" "$seed" "$commands" >"$work/base.txt"
    "$work/build-now/tests/merix_differential" "$seed" "$commands" >"$work/now.txt"
    if ! cmp -s "$work/base.txt" "$work/now.txt"; then
        echo "seed $seed: the transcripts differ"
        diff "$work/base.txt" "$work/now.txt" | head -20 || true
        differ=$((differ + 1))
    fi
done
lines=$(wc -l <"$work/now.txt")
echo "$seeds seeds of $commands commands ($lines lines in the last transcript): $differ differ"
[ "$differ" -eq 0 ]
