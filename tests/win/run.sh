#!/usr/bin/env bash
# The Windows build's tests under wine; scripts/windows.sh --test runs it with
# WINEPREFIX, WINEPATH and WINEQT_QPA_PLATFORM set.
#  1. The GoogleTest programs of the Windows build, through ctest.
#  2. updater-cli.exe against the native simulated inverter (updater-sim from the
#     Linux build in HOST_BUILD_DIR, default build/): DSP and LCD ARM firmware over
#     TCP on 127.0.0.1 and over a pseudo-terminal that wine opens as COM7. Each run
#     must end "Download file success!" with status 0, and the simulator's verdict
#     must find the image it rebuilt equal to the file, byte for byte.
#  3. The same with names outside the ANSI code page, a fleet, and a refused
#     connection.
#   bash tests/win/run.sh BUILD_WIN
set -euo pipefail
: "${WINEPREFIX:?run through scripts/windows.sh --test}"
# Wine's programs get a virtual X display: the window's layout tests draw with
# wine's own fonts on Qt's Windows platform (the others stay off screen).
if [ -z "${UPDATER_WINE_DISPLAY:-}" ]; then
    exec env UPDATER_WINE_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
        bash "$(realpath "$0")" "$(realpath "$1")"
fi
win=$(realpath "$1")
cd "$(dirname "$0")/../.."
host=$(realpath -m "${HOST_BUILD_DIR:-build}")

# The wine server reads the port mapping when it starts. It is kept running
# between programs, with the service processes it starts with the first one:
# those started from a program whose output a pipe takes (ctest's) would hold
# that pipe open after the program has ended.
restart_wineserver() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    wineserver -p >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
}

echo "== GoogleTest programs under wine"
restart_wineserver
ctest --test-dir "$win" --output-on-failure -j 2 --timeout 300

echo "== updater-cli.exe under wine against updater-sim"
if [ ! -f "$host/build.ninja" ]; then
    cmake -S . -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$host" --target updater-sim >/dev/null
sim="$host/sim/updater-sim"
cli="$win/cli/updater-cli.exe"

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    wine reg delete 'HKLM\Software\Wine\Ports' /v COM7 /f >/dev/null 2>&1 || true
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
perl -e 'srand(2026); print map { chr(int(rand(256))) } 1..6000' >dsp.bin
objcopy -I binary -O ihex --change-addresses 0x10000 dsp.bin sample.hex
perl -e 'srand(1014); print map { chr(int(rand(256))) } 1..10000' >sample.bin

passed=0
failed=0
cli_extra=() # more options of updater-cli.exe for the next update
# The file names are UTF-8 on this side; wine hands them to the program as UTF-16.
export LC_ALL=C.UTF-8
check() { # DESCRIPTION COMMAND...: one more check passed or failed
    local what=$1
    shift
    if "$@"; then
        echo "    passed: $what"
        passed=$((passed + 1))
    else
        echo "    FAILED: $what"
        failed=$((failed + 1))
    fi
}
utf8_file() { [ -s "$1" ] && iconv -f UTF-8 -t UTF-8 "$1" >/dev/null 2>&1; }
# One update: updater-cli.exe LINK OPTION FILE against a simulator started with
# SIM_ARGS; LINK "com7" maps COM7 to the simulator's pseudo-terminal first.
update() {
    local link=$1 option=$2 file=$3
    shift 3
    "$sim" "$@" --expect "$file" >sim.out 2>&1 &
    sim_pid=$!
    for _ in $(seq 600); do
        [ -s sim.out ] && break
        sleep 0.05
    done
    local where target
    where=$(head -n 1 sim.out)
    if [ -z "$where" ]; then
        echo "    FAILED: updater-sim $* did not say where it listens within 30 s"
        failed=$((failed + 1))
        return
    fi
    if [ "$link" = com7 ]; then
        # wine opens COM7 as this device once its server starts again.
        wine reg add 'HKLM\Software\Wine\Ports' /v COM7 /d "${where##* }" /f >/dev/null 2>&1
        restart_wineserver
        target=(--serial COM7)
    else
        target=(--tcp "${where##* }")
    fi
    echo "\$ wine updater-cli.exe ${target[*]} $option $file    # $where"
    local status=0 sim_status=0
    timeout 180 wine "$cli" "${target[@]}" "$option" "$file" "${cli_extra[@]}" </dev/null \
        >cli.out 2>cli.err || status=$?
    # The simulator ends by itself once the job is over and the link has gone; one
    # that nobody reached would wait for ever.
    for _ in $(seq 300); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || sim_status=$?
    sim_pid=
    tr -d '\r' <cli.out | sed 's/^/    /'
    tr -d '\r' <cli.err | sed 's/^/    stderr: /'
    tail -n +2 sim.out | sed 's/^/    sim: /'
    local last
    last=$(tr -d '\r' <cli.out | tail -n 1)
    if [ "$status" -eq 0 ] && [ "$last" = "Download file success!" ] && [ "$sim_status" -eq 0 ]; then
        echo "    passed (updater-cli.exe exit 0, simulator's verdict exit 0)"
        passed=$((passed + 1))
    else
        echo "    FAILED: updater-cli.exe exit $status, simulator exit $sim_status"
        failed=$((failed + 1))
    fi
}

update tcp --dsp sample.hex --listen 127.0.0.1:0
update tcp --arm sample.bin --listen 127.0.0.1:0
update com7 --dsp sample.hex --pty
update com7 --arm sample.bin --pty

echo "== names in Chinese, Cyrillic and accented letters"
dsp_name='固件 ПО ä.hex'
trace_name='журнал 日志 é.trace'
cp sample.hex "$dsp_name"
cli_extra=(--trace "$trace_name")
update tcp --dsp "$dsp_name" --listen 127.0.0.1:0
cli_extra=()
check "the trace is written under its name, in UTF-8, naming the firmware file" \
    eval 'utf8_file "$trace_name" && grep -qF "$dsp_name" "$trace_name"'

echo "== a fleet: fleet file, report and traces with such names"
# Three inverters that hang up at once after their last acknowledgement.
"$sim" --listen 127.0.0.1:0 --devices 3 --restart-ms 0 --expect "$dsp_name" >sim.out 2>&1 &
sim_pid=$!
for _ in $(seq 600); do
    [ -s sim.out ] && break
    sleep 0.05
done
where=$(head -n 1 sim.out)
port=${where##*:}
fleet_name='парк 设备 ü.csv'
report_name='отчёт 报告 ö.json'
{
    echo 'name,link,dsp'
    for i in 0 1 2; do echo "inv-$i,tcp:127.0.0.1:$((port + i)),$dsp_name"; done
} >"$fleet_name"
echo "\$ wine updater-cli.exe --fleet '$fleet_name' --report '$report_name' --trace-dir 'следы 跟踪'"
status=0
timeout 180 wine "$cli" --fleet "$fleet_name" --report "$report_name" --trace-dir 'следы 跟踪' \
    </dev/null >cli.out 2>cli.err || status=$?
kill "$sim_pid" 2>/dev/null || true # it serves its devices until stopped
wait "$sim_pid" || true
sim_pid=
tr -d '\r' <cli.out | sed 's/^/    /'
tr -d '\r' <cli.err | sed 's/^/    stderr: /'
check "the fleet run succeeds (exit $status)" test "$status" -eq 0
check "the simulator found each image equal to the file" \
    eval '[ "$(grep -c "^result: PASS" sim.out)" -eq 3 ]'
check "the report is UTF-8 and names the firmware file" \
    eval 'utf8_file "$report_name" && grep -qF "$dsp_name" "$report_name"'
check "each device's trace is written in the folder" \
    eval 'utf8_file "следы 跟踪/inv-0.trace" && utf8_file "следы 跟踪/inv-2.trace"'
# A device that succeeded hangs up after its last acknowledgement: no error for it.
check "no line about the device's normal hang-up" eval '! grep -q "was closed" cli.err'

echo "== a refused connection"
closed_port=$(perl -MIO::Socket::INET -e \
    'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1:0")->sockport')
started=$(date +%s%N)
status=0
timeout 60 wine "$cli" --tcp "127.0.0.1:$closed_port" --dsp sample.hex </dev/null >cli.out \
    2>cli.err || status=$?
took_ms=$((($(date +%s%N) - started) / 1000000))
tr -d '\r' <cli.err | sed 's/^/    stderr: /'
echo "    exit $status after $took_ms ms"
check "refused at once: exit 3, \"Connection refused\", well within the 10 s wait" \
    eval '[ "$status" -eq 3 ] && grep -q "Connection refused" cli.err && [ "$took_ms" -lt 6000 ]'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
