#!/usr/bin/env bash
# Installs what is needed, builds, and makes the Debian package with cpack; then
# checks it as a user's machine would take it: lintian reports no error, the
# desktop entry, the metainfo and the manual pages pass their checkers, and the
# programs run from the package unpacked into a scratch root. Prints the
# package's path last. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
build=$(cd "${BUILD_DIR:-build}" && pwd)
version=$(sed -n 's/^#define UPDATER_VERSION "\(.*\)"$/\1/p' "$build/generated/UpdaterVersion.h")
deb="$build/updater_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
lintian --fail-on error "$deb"
desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >/dev/null
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings" >&2
        exit 1
    fi
done
"$root/usr/bin/updater-cli" --version
"$root/usr/bin/updater-sim" --help | sed -n 1p    # reads it all: head would leave the simulator writing into a closed pipe
echo "$deb"
