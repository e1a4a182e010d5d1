#!/usr/bin/env bash
# Builds the Debian package from a fresh build directory (default
# build-package/): pixkeep_<version>_<arch>.deb with the program, its
# language files, help document, icons, menu entry and AppStream metainfo,
# and the dependencies dpkg-shlibdeps finds; built as the tests build it
# (RelWithDebInfo, warnings as errors) with Debian's hardening flags, then
# stripped. lintian must report no error.
# Usage: scripts/package.sh [BUILD_DIR]; prints the package's path last.
# Installs nothing (it runs inside the tests): the packaging tools come with
# the test set, scripts/install-deps.sh --test.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in cmake cpack dpkg-buildflags dpkg-shlibdeps file lintian; do
  command -v "$tool" >/dev/null || {
    echo "package.sh: $tool is missing; scripts/install-deps.sh --test installs it" >&2
    exit 1
  }
done
build=$(realpath -m "${1:-build-package}")

# Debian's build flags with every hardening option, as dpkg-buildpackage would set them.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"

rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIXKEEP_TESTS=OFF -DPIXKEEP_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/pixkeep_*.deb)

echo "== lintian $(basename "$deb")"
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error --info "$deb"
echo "$deb"
