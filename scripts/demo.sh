#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: a whole DSP update
# through the engine against a scripted device, printing what the window would show.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
"${BUILD_DIR:-build}/tests/engine/engine_tests" --gtest_filter='Demo.*' --gtest_brief=0
