#!/usr/bin/env bash
# Builds and runs tests under a sanitizer; fails on any report.
#   scripts/sanitize.sh asan   the whole test suite, AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/sanitize.sh tsan   the link (event loop, TCP, serial), CLI, fleet, window and
#                              end-to-end tests, ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-asan}
supp="$PWD/scripts/sanitizers"
export QT_QPA_PLATFORM=offscreen
case $mode in
    asan)
        build_dir=${BUILD_DIR:-build-asan}
        flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
        tests=${SANITIZE_TESTS:-.}
        # A finding in a tool a test runs must not pass for one of its exit statuses (1 is a
        # time-out of updater-cli), so the sanitizers exit with codes of their own.
        export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:exitcode=99"
        export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0:exitcode=99"
        export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=98"
        ;;
    tsan)
        build_dir=${BUILD_DIR:-build-tsan}
        flags="-fsanitize=thread -fno-omit-frame-pointer"
        tests=${SANITIZE_TESTS:-'^(SerialLink|SerialCloseWhenSent|TcpCloseWhenSent|TcpLink|TcpStream|EndToEnd|PortName|DeviceLinkOpen|Cli|Simulator|UpdateFromWindow|BothFirmwares|LinkLost|Progress\.|Reconnect|Stop\.|SupportLog|BlockingRelay|ClosingTheWindow|Supervisor|Run/)'}
        export TSAN_OPTIONS="suppressions=$supp/tsan.supp:halt_on_error=1:second_deadlock_stack=1:exitcode=97"
        ;;
    *)
        echo "usage: $0 asan|tsan" >&2
        exit 2
        ;;
esac
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DUPDATER_BUILD_BENCH=OFF -DUPDATER_CHECK_LOCKS=ON ${SANITIZE_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j 2 --timeout 900 -R "$tests"
