#!/usr/bin/env bash
# Makes Qt 6.4.2 for 64-bit Windows (Core, Gui, Widgets, Network, Test, with the
# windows, offscreen and minimal platform plugins and the styles), built by
# Debian's mingw-w64 compilers, and prints its prefix on the last line.
#
#   UPDATER_QT_MINGW           where it goes (default: ~/.cache/updater/qt6-mingw)
#   UPDATER_QT_MINGW_ARCHIVE   a packed copy to unpack instead of building (default:
#                              ../shared/qt6-mingw-6.4.2.tar.xz beside the project,
#                              when it is there; "none" builds); its top folder
#                              is qt6-mingw/
#   UPDATER_QT_MINGW_PACK      where a fresh build is packed (default: the archive
#                              name beside the prefix)
#
# Nothing is done when the prefix already holds this Qt. Without a packed copy it
# builds Qt from Debian's own source package qt6-base (about 50 CPU-minutes,
# 0.7 GB of memory) against the host's Qt tools. Run as root (apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
say() { echo "build-qt-mingw: $*" >&2; }

qt_version=6.4.2
cache=${XDG_CACHE_HOME:-$HOME/.cache}/updater
prefix=${UPDATER_QT_MINGW:-$cache/qt6-mingw}
archive=${UPDATER_QT_MINGW_ARCHIVE:-}
if [ -z "$archive" ] && [ -f ../shared/qt6-mingw-$qt_version.tar.xz ]; then
    archive=$(cd ../shared && pwd)/qt6-mingw-$qt_version.tar.xz
elif [ "$archive" = none ]; then
    archive=
fi
stamp=$prefix/.updater-qt-$qt_version
jobs=${UPDATER_QT_JOBS:-$(nproc)}

if [ -f "$stamp" ] && [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    say "Qt $qt_version for Windows is already in $prefix"
    echo "$prefix"
    exit 0
fi

if [ -n "$archive" ]; then
    say "unpacking $archive into $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix"
    tar -xJf "$archive" -C "$prefix" --strip-components=1 qt6-mingw/
    test -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake"
    touch "$stamp"
    say "done in $((SECONDS - started)) s"
    echo "$prefix"
    exit 0
fi

say "no packed copy found: building Qt $qt_version from Debian's qt6-base source"
work=${UPDATER_QT_MINGW_WORK:-$cache/qt6-mingw-build}
mkdir -p "$work"
src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
if [ -z "$src" ]; then
    # The source is served beside the binary packages: add a deb-src entry with the
    # same address and suites as the machine's Debian entry for as long as it takes.
    say "fetching the source package (a temporary deb-src entry)"
    srcs=/etc/apt/sources.list.d/updater-qt-src.sources
    debian=$(grep -l 'debian$' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1 || true)
    if [ -n "$debian" ]; then
        awk '/^Types:/ {print "Types: deb-src"; next} /^$/ {exit} {print}' "$debian" >"$srcs"
    else
        codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\n' \
            "$codename" >"$srcs"
    fi
    trap 'rm -f "$srcs"; apt-get update -qq || true' EXIT
    apt-get update -qq
    (cd "$work" && apt-get source -qq qt6-base >"$work/source.log" 2>&1)
    rm -f "$srcs"
    apt-get update -qq
    trap - EXIT
    src=$(find "$work" -maxdepth 1 -type d -name "qt6-base-$qt_version*" | head -n 1)
    if [ -z "$src" ]; then
        say "Debian serves no qt6-base $qt_version here: $(ls "$work")"
        exit 1
    fi
fi
say "source: $src"

build=$work/build
say "configuring in $build"
cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DINPUT_opengl=no -DFEATURE_tabletevent=OFF \
    -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF \
    -DFEATURE_xml=OFF -DFEATURE_openssl=OFF -DFEATURE_zstd=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_androiddeployqt=OFF >"$work/configure.log"
say "building with -j$jobs (about 1 250 steps; the log is $work/build.log)"
cmake --build "$build" -j "$jobs" >"$work/build.log"
rm -rf "$prefix"
cmake --install "$build" >"$work/install.log"
touch "$stamp"
pack=${UPDATER_QT_MINGW_PACK:-$(dirname "$prefix")/qt6-mingw-$qt_version.tar.xz}
say "packing $pack"
tar -cJf "$pack" -C "$(dirname "$prefix")" --transform "s,^$(basename "$prefix"),qt6-mingw," \
    --exclude=.updater-qt-$qt_version "$(basename "$prefix")"
say "done in $((SECONDS - started)) s"
echo "$prefix"
