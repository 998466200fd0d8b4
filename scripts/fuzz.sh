#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a while on a copy of its seed corpus, so that fuzz/corpus stays as committed.
#
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target ...]
# Exits non-zero when any target finds a crash; the input is kept in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true

scripts/deps.sh clang libclang-rt-14-dev

# Absolute paths: the ini file target changes into a directory of its own at start.
build="$PWD/build/fuzz"
flags="-O1 -g -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
flags+=" -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$PWD" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DMERIX_FUZZ=ON -DMERIX_BUILD_TESTS=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null

targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(fuzz_receiver fuzz_event_block fuzz_address_parser fuzz_ini_file fuzz_frame_text
             fuzz_telnet)
    # The simulator's parser is fuzzed once the simulator has one.
    [ -f sim/request.cpp ] && targets+=(fuzz_sim_request)
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# The ini file target writes its input to a file for every run: keep that in memory.
tmp="${TMPDIR:-/tmp}"
[ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm

failed=()
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    artifacts="$build/artifacts/$t"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$corpus/"
    dict=()
    [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="$PWD/fuzz/dict/$t.dict")
    echo "== $t: ${seconds}s"
    if ! TMPDIR="$tmp" "$build/fuzz/$t" "${dict[@]}" -max_total_time="$seconds" -timeout=25 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" 2>"$build/$t.log"; then
        failed+=("$t")
        grep -E "SUMMARY|check failed|Test unit written|ERROR: libFuzzer" "$build/$t.log" || true
    fi
    grep -E "^(#[0-9]+.*DONE|Done [0-9]+ runs)" "$build/$t.log" || true
done

if ((${#failed[@]})); then
    echo "crashes found by: ${failed[*]} (logs in $build/<target>.log, inputs in $build/artifacts)"
    exit 1
fi
echo "no crashes"
