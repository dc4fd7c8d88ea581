#!/usr/bin/env bash
# Runs many update jobs in one window (offscreen) against updater-sim --repeat,
# which hangs up after each job, and prints the window's resident memory and open
# descriptors after the first job and every hundredth. Fails when a job fails or
# either grows (memory by more than 1 MB).
#   bash scripts/soak-window.sh [jobs]       (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
if [ ! -f "$build_dir/build.ninja" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)" --target window_soak updater-sim
QT_QPA_PLATFORM=offscreen "$build_dir/bench/window/window_soak" "${1:-200}"
