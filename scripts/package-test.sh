#!/usr/bin/env bash
# The library as other projects use it, against the emulator of BUILD:
#   1. cmake --install of BUILD into a scratch prefix; a consumer project
#      finds it with find_package(vorn) and runs;
#   2. the same consumer with the library as a FetchContent subproject (which
#      must build nothing but the library), built shared: its SONAME and its
#      exports are checked;
#   3. pkg-config --cflags --libs vorn compiles and links the consumer by hand;
#   4. cpack makes the Debian packages, and dpkg-deb lists them.
# Each step prints its time.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:?build directory}
# shellcheck source=emulator-session.sh
source "$ROOT/scripts/emulator-session.sh"
WORK=$(mktemp -d)
step() {
  local name=$1 start=$SECONDS
  shift
  echo "-- $name"
  "$@"
  echo "-- $name: $((SECONDS - start)) s"
}

start_emulator "$BUILD/emulator/vorn-emulator" "$WORK" --no-realtime --memory
export VORN_API_HOST=$ADDRESS VORN_FALLBACK_HOST=$ADDRESS VORN_HOME=$WORK/home

installed() {
  cmake --install "$BUILD" --prefix "$WORK/prefix" > "$WORK/install.log"
  test -f "$WORK/prefix/lib/cmake/vorn/vornConfig.cmake"
  test -f "$WORK/prefix/include/vorn/vorn.h"
  test -x "$WORK/prefix/bin/vorn-emulator"
  cmake -S "$ROOT/tests/package/consumer" -B "$WORK/installed" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$WORK/prefix" > /dev/null
  cmake --build "$WORK/installed" > /dev/null
  "$WORK/installed/consumer"
}

subproject() {
  # No build type: the library compiles unoptimized, a third faster; what is
  # checked here (the subproject's targets, SONAME, exports) does not depend on it.
  cmake -S "$ROOT/tests/package/consumer" -B "$WORK/subproject" -G Ninja -DCMAKE_BUILD_TYPE= \
    -DVORN_SOURCE_DIR="$ROOT" -DBUILD_SHARED_LIBS=ON > /dev/null
  cmake --build "$WORK/subproject" -j"$(nproc)" > /dev/null
  local library
  library=$(find "$WORK/subproject" -name 'libvorn.so.*.*' | head -n1)
  [ -n "$library" ] || { echo "no shared library was built" >&2; return 1; }
  readelf -d "$library" | grep -q 'SONAME.*\[libvorn\.so\.1\]' || { echo "SONAME is not libvorn.so.1" >&2; return 1; }
  # Exports: C++ names only (the version script's namespaces), no C symbols.
  local stray
  stray=$(nm -D --defined-only "$library" | awk '{ print $3 }' | grep -Ev '^(_Z|VORN_1$)' || true)
  [ -z "$stray" ] || { echo "unexpected exports:" >&2; echo "$stray" | head >&2; return 1; }
  echo "$(basename "$library"): SONAME libvorn.so.1, $(nm -D --defined-only "$library" | wc -l) exported symbols"
  LD_LIBRARY_PATH=$(dirname "$library") "$WORK/subproject/consumer"
}

pkgconfig() {
  # shellcheck disable=SC2046
  c++ -O1 -o "$WORK/by-hand" "$ROOT/tests/package/consumer/main.cpp" \
    $(PKG_CONFIG_PATH="$WORK/prefix/lib/pkgconfig" pkg-config --cflags --libs vorn)
  "$WORK/by-hand"
}

debian() {
  (cd "$BUILD" && cpack -G DEB -B "$WORK/packages" > "$WORK/cpack.log")
  for deb in "$WORK"/packages/*.deb; do
    echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
    dpkg-deb -c "$deb" | awk '{print "   ", $6}' | grep -E 'vorn(\.h|Config\.cmake|\.pc|-emulator)$|libvorn' | sort
  done
}

step "install + find_package" installed
step "pkg-config" pkgconfig
step "FetchContent subproject" subproject
step "Debian packages" debian
