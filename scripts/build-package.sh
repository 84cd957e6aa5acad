#!/usr/bin/env bash
# Builds the Debian package: a Release tree of its own (build-package/) with
# Debian's hardening flags and stripped binaries, then CPack. The integrity
# manifest is written after linking, so it matches the stripped library; the
# programs are linked with their installed rpath, so installing changes no
# byte of what the manifest covers.
# Usage: scripts/build-package.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
tree="${1:-build-package}"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS) -s"
cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DWATCHDOG_BUILD_TESTS=OFF -DWATCHDOG_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
  "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" "-DCMAKE_SHARED_LINKER_FLAGS=$LDFLAGS" >/dev/null
cmake --build "$tree" -j "$(nproc)"
rm -f "$tree"/*.deb
(cd "$tree" && cpack -G DEB >/dev/null)
ls "$tree"/*.deb
