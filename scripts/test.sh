#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test, the rollout over many
# plants with Ansible last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j 2 --timeout 600
bash scripts/rollout-test.sh
