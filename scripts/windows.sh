#!/usr/bin/env bash
# Builds the Windows programs (updater.exe, updater-cli.exe) and their tests with
# Debian's mingw-w64 compilers against Qt for Windows (scripts/build-qt-mingw.sh)
# in build-win/, and makes updater-<version>-win64.zip and the NSIS installer
# there; prints their paths last.
#   bash scripts/windows.sh          build and package
#   bash scripts/windows.sh --test   the same, then the tests under wine
#                                    (tests/win/run.sh)
# Run as root on Debian 12 (apt-get). WIN_BUILD_DIR names another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
step() { echo "== $1 ($((SECONDS - started)) s so far)"; }
jobs=${UPDATER_JOBS:-$(nproc)}

step "packages"
bash scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine nsis zip unzip googletest

step "Qt for Windows"
qt=$(bash scripts/build-qt-mingw.sh | tail -n 1)

build=$(realpath -m "${WIN_BUILD_DIR:-build-win}")
toolchain=$PWD/cmake/mingw-w64.cmake
gtest=$build/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    step "GoogleTest for Windows, from Debian's googletest sources"
    cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$build/googletest-build" -j "$jobs" >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
fi

# Wine runs the icon drawer during the build and the tests after it: it finds the
# Qt and compiler runtime libraries through WINEPATH, and draws off screen (wine
# passes no QT_* variable on, WINEQT_* ones without their prefix).
runtime_dirs=()
for dll in libstdc++-6.dll libwinpthread-1.dll; do
    runtime_dirs+=("$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)")")
done
export WINEPREFIX=${WINEPREFIX:-$build/wine} WINEDEBUG=-all WINEQT_QPA_PLATFORM=offscreen
# No offer to install Mono or Gecko; no menu entries, file associations or icons
# of the installed programs in the desktop's folders: nothing outside the clone.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    step "a wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
WINEPATH=$(winepath -w "$qt/bin")
for dir in "${runtime_dirs[@]}"; do
    WINEPATH+=";$(winepath -w "$dir")"
done
export WINEPATH

step "building in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
    -DCMAKE_PREFIX_PATH="$qt;$gtest" >/dev/null
cmake --build "$build" -j "$jobs"

step "zip and installer"
version=$(sed -n 's/^#define UPDATER_VERSION "\(.*\)"$/\1/p' "$build/generated/UpdaterVersion.h")
zip="$build/updater-$version-win64.zip"
installer="$build/updater-$version-win64.exe"
rm -f "$zip" "$installer"
(cd "$build" && cpack -G ZIP >/dev/null && cpack -G NSIS >/dev/null)
# What a technician unpacks must run by itself: every library either program or a
# plugin loads is in the zip or is part of Windows.
listing=$(unzip -Z1 "$zip")
for file in updater.exe updater-cli.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll \
    Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll libstdc++-6.dll \
    libgcc_s_seh-1.dll libwinpthread-1.dll updater.ico README.txt LICENSE.txt LGPL-3.txt GPL-3.txt; do
    grep -qx "updater-$version-win64/$file" <<<"$listing" || {
        echo "$zip: no $file" >&2
        exit 1
    }
done
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
system32="$WINEPREFIX/drive_c/windows/system32"
for needed in $(for binary in "$unpacked"/*/*.exe "$unpacked"/*/*.dll "$unpacked"/*/*/*.dll; do
    x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\tDLL Name: //p'
done | sort -u); do
    # api-ms-win-*: API sets, which the Windows loader (and wine's) maps itself.
    [ -f "$unpacked/updater-$version-win64/$needed" ] || [[ $needed == api-ms-win-* ]] ||
        [ -n "$(find "$system32" -maxdepth 1 -iname "$needed" -print -quit)" ] || {
        echo "$zip: $needed is loaded, but neither in the zip nor a system library" >&2
        exit 1
    }
done
# The unpacked programs run without WINEPATH.
WINEPATH= wine "$unpacked/updater-$version-win64/updater-cli.exe" --version
# The installer, silently: the programs in Program Files with a Start-menu entry,
# and its uninstaller takes them away again. Both end before their work is done
# under wine, so the files are waited for.
wait_for() { # CONDITION...: true within 60 s
    for _ in $(seq 120); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
installed="$WINEPREFIX/drive_c/Program Files/Updater"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Updater $version/Updater.lnk"
WINEPATH= wine "$installer" /S
wait_for test -f "$installed/Uninstall.exe" -a -f "$shortcut" || {
    echo "$installer: nothing installed, or no Start-menu entry" >&2
    exit 1
}
WINEPATH= wine "$installed/updater-cli.exe" --version
for file in LICENSE.txt LGPL-3.txt GPL-3.txt; do
    [ -f "$installed/$file" ] || {
        echo "$installer: no $file installed" >&2
        exit 1
    }
done
# Apps & features: where the programs are and how much room they take.
uninstall_key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Updater $version"
for value in InstallLocation EstimatedSize; do
    wine reg query "$uninstall_key" /v "$value" 2>/dev/null | tr -d '\r' | grep -q "$value" || {
        echo "$installer: no $value under $uninstall_key" >&2
        exit 1
    }
done
WINEPATH= wine "$installed/Uninstall.exe" /S
wait_for test ! -e "$installed/updater.exe" -a ! -e "$shortcut" || {
    echo "$installer: the uninstaller left the programs or the Start-menu entry" >&2
    exit 1
}
# Nothing of the product stays in the registry, not even an empty vendor key.
vendor_key='HKLM\Software\The Updater maintainers'
if wine reg query "$vendor_key" >/dev/null 2>&1 || wine reg query "$uninstall_key" >/dev/null 2>&1; then
    echo "$installer: the uninstaller left $vendor_key or $uninstall_key" >&2
    exit 1
fi
echo "installer: installed, run and uninstalled under wine"

if [ "${1:-}" = "--test" ]; then
    HOST_BUILD_DIR=${BUILD_DIR:-build} bash tests/win/run.sh "$build"
fi
step "done"
echo "$zip"
echo "$installer"
