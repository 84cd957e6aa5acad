#!/usr/bin/env bash
# Cross-builds the watchdog for 64-bit Windows into build-windows/:
# installs mingw-w64, Wine and NSIS from Debian, builds POCO (Foundation, XML,
# Util, Net) from Debian's source package as static libraries once (cached
# in build-windows/poco-install), then the watchdog, wdctl.exe, the demo
# service and the unit tests that build for Windows.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${BUILD_WINDOWS_DIR:-$ROOT/build-windows}
JOBS=${JOBS:-$(nproc)}
PREFIX=$OUT/poco-install
SRC=$OUT/poco-src
TRIPLE=x86_64-w64-mingw32

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_packages() {
  local need=()
  for p in g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 wine wine64 nsis dpkg-dev cmake ninja-build; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  echo "== installing ${need[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
}

# A deb-src entry for the suites the machine already installs from, so
# "apt-get source" finds the POCO version that matches libpoco-dev.
enable_sources() {
  local list=/etc/apt/sources.list.d/watchdog-deb-src.sources
  [ -f "$list" ] && return 0
  local suites
  suites=$(awk '/^Suites:/ {for (i = 2; i <= NF; i++) if ($i !~ /security/) print $i}' \
    /etc/apt/sources.list.d/debian.sources 2>/dev/null | sort -u | tr '\n' ' ')
  [ -n "$suites" ] || suites="$(. /etc/os-release && echo "$VERSION_CODENAME $VERSION_CODENAME-updates")"
  as_root tee "$list" >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suites
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  as_root apt-get update -qq
}

fetch_poco() {
  [ -d "$SRC" ] && return 0
  enable_sources
  local tmp=$OUT/poco-download
  rm -rf "$tmp" && mkdir -p "$tmp"
  (cd "$tmp" && apt-get source -qq poco >/dev/null)
  mv "$(find "$tmp" -mindepth 1 -maxdepth 1 -type d -name 'poco-*' | head -n1)" "$SRC"
  rm -rf "$tmp"
}

# POCO includes two Windows headers with capitals that mingw ships in lower
# case; a Windows macro of the same name as a POCO enumerator breaks Net's
# ICMP files.
write_case_shims() {
  local dir=$OUT/mingw-shims
  mkdir -p "$dir"
  local name
  for name in Winsock2 Iphlpapi; do
    local lower=${name,,}
    # Written once: a new time stamp would rebuild everything that includes POCO.
    [ -f "$dir/$name.h" ] || printf '#include <%s.h>\n#undef TIMESTAMP_REQUEST\n' "$lower" >"$dir/$name.h"
  done
  echo "$dir"
}

build_poco() {
  if [ -f "$PREFIX/cmake/PocoConfig.cmake" ]; then
    echo "== POCO for Windows already in $PREFIX"
    return 0
  fi
  fetch_poco
  # Util's package file asks for JSON unconditionally; JSON is not built.
  sed -i '/find_dependency(PocoJSON)/d' "$SRC/Util/cmake/PocoUtilConfig.cmake"
  local shims
  shims=$(write_case_shims)
  echo "== building POCO for Windows (static, several minutes)"
  local off=()
  for c in JSON ENCODINGS MONGODB REDIS ZIP DATA DATA_SQLITE DATA_MYSQL DATA_POSTGRESQL DATA_ODBC \
           ACTIVERECORD ACTIVERECORD_COMPILER PAGECOMPILER PAGECOMPILER_FILE2PAGE CRYPTO NETSSL NETSSL_WIN \
           JWT PDF SEVENZIP CPPPARSER POCODOC APACHECONNECTOR PROMETHEUS; do
    off+=("-DENABLE_$c=OFF")
  done
  cmake -S "$SRC" -B "$OUT/poco-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    "-DCMAKE_CXX_FLAGS=-I$shims" "-DCMAKE_C_FLAGS=-I$shims" \
    -DENABLE_FOUNDATION=ON -DENABLE_XML=ON -DENABLE_UTIL=ON -DENABLE_NET=ON \
    -DENABLE_TESTS=OFF -DPOCO_UNBUNDLED=OFF "${off[@]}" >"$OUT/poco-configure.log" 2>&1 \
    || { tail -n 40 "$OUT/poco-configure.log"; exit 1; }
  cmake --build "$OUT/poco-build" -j "$JOBS" >"$OUT/poco-build.log" 2>&1 \
    || { grep -m 20 -B2 -A8 'error' "$OUT/poco-build.log"; exit 1; }
  cmake --install "$OUT/poco-build" >/dev/null
}

build_watchdog() {
  echo "== building the watchdog for Windows"
  local shims
  shims=$(write_case_shims)
  # POCO's installed headers still name the capitalised Windows headers.
  cmake -S "$ROOT" -B "$OUT" -G Ninja "-DCMAKE_CXX_FLAGS=-I$shims" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DPOCO_WINDOWS_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DWATCHDOG_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$OUT" -j "$JOBS"
}

mkdir -p "$OUT"
install_packages
build_poco
[ "${1:-}" = "--poco-only" ] && exit 0
build_watchdog
echo "== Windows binaries in $OUT/bin"
