#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, and the
# packages named as arguments. Run as root.
set -euo pipefail
packages=(
    cmake ninja-build g++ pkg-config binutils
    qt6-base-dev qt6-serialport-dev libgl1-mesa-dev
    libgtest-dev libgmock-dev
    fonts-wqy-microhei xvfb xauth
    clang libclang-rt-14-dev clang-format
    qt6-svg-dev dpkg-dev file lintian desktop-file-utils appstream man-db
    srecord  # srec_cat: the HEX check is tested on the layouts it writes
    ansible-core ansible-lint openssh-server  # the rollout over many plants and its test
    "$@"
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
