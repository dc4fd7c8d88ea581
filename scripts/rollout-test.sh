#!/usr/bin/env bash
# The rollout over many plants with Ansible (deploy/ansible), against simulated
# inverters on 127.0.0.1: two gateways by a local connection, one over SSH to an
# sshd the test starts with its own port and keys. Needs the build (scripts/build.sh)
# and ansible-core, ansible-lint and openssh-server (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tests/rollout/rollout_test.py "${BUILD_DIR:-build}"
