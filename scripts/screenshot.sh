#!/usr/bin/env bash
# Takes the README's picture of the main window during a DSP update, under a
# virtual X server (Xvfb), against a scripted device on 127.0.0.1.
#   bash scripts/screenshot.sh [output.png]     (default docs/updater-window.png)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
output=${1:-docs/updater-window.png}
mkdir -p "$(dirname "$output")"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target updater_screenshot
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 640x480x24" \
    "$build_dir/tests/shell/updater_screenshot" "$output"
