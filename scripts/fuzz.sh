#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for FUZZ_SECONDS (default 120).
# Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-120}
build_dir=${BUILD_DIR:-build-fuzz}
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DUPDATER_FUZZ=ON -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_BENCH=OFF \
    -DUPDATER_BUILD_GUI=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target FuzzHexFile FuzzJobEvents
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in FuzzHexFile FuzzJobEvents; do
    case $target in
        FuzzHexFile) seeds=fuzz/corpus/hex ;;
        FuzzJobEvents) seeds=fuzz/corpus/events ;;
    esac
    work="$build_dir/corpus-$target"
    mkdir -p "$work"
    cp -n "$seeds"/* "$work"/ 2>/dev/null || true
    echo "== $target for ${seconds}s"
    "$build_dir/fuzz/$target" -max_total_time="$seconds" -dict=fuzz/dictionary.txt \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$build_dir/$target-" \
        "$work" 2>&1 | tail -n 12
    test "${PIPESTATUS[0]}" -eq 0
done
echo "fuzzing: no findings"
