#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: updater-cli writes a
# sample DSP firmware (Intel HEX, over TCP) and a sample LCD ARM firmware (binary
# image, over a pseudo-terminal as its serial port) into updater-sim, the
# simulated inverter, which then prints its verdict on what it received.
# The samples are made here from fixed-seed random bytes; nothing binary is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target updater-cli updater-sim
build=$(cd "$build" && pwd)
cli="$build/cli/updater-cli"
sim="$build/sim/updater-sim"

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

cd "$work"
perl -e 'srand(2026); print map { chr(int(rand(256))) } 1..65536' > dsp.bin
objcopy -I binary -O ihex --change-addresses 0x10000 dsp.bin sample.hex
perl -e 'srand(1014); print map { chr(int(rand(256))) } 1..125600' > sample.bin

# Starts the simulator in the background and waits for its first line, which
# says where to reach it; leaves that line in $where.
start_sim() {
    "$sim" "$@" > sim.out &
    sim_pid=$!
    for _ in $(seq 100); do
        [ -s sim.out ] && break
        sleep 0.05
    done
    where=$(head -n 1 sim.out)
    echo "$where"
}

# Waits for the simulator to end (it does once the updater has gone) and shows
# its verdict; fails when the verdict does.
show_verdict() {
    local status=0
    wait "$sim_pid" || status=$?
    sim_pid=
    tail -n +2 sim.out
    return "$status"
}

echo "== DSP firmware: $(grep -c '^:' sample.hex) HEX records over TCP"
start_sim --listen 127.0.0.1:0 --expect sample.hex
target=${where##* }
echo "\$ updater-cli --tcp $target --dsp sample.hex"
"$cli" --tcp "$target" --dsp sample.hex
show_verdict

echo
echo "== LCD ARM firmware: a 125600-byte image over a serial line (pseudo-terminal)"
start_sim --pty --expect sample.bin
device=${where##* }
echo "\$ updater-cli --serial $device --arm sample.bin"
"$cli" --serial "$device" --arm sample.bin
show_verdict
