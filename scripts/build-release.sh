#!/usr/bin/env bash
# Builds the two binaries the npm package ships, as stripped release builds of
# the helper alone, into one folder (default build/release):
#   vantrell-helper.exe   Windows x64
#   vantrell-helper       Linux x64
# The same commit gives the same bytes in any checkout; `sha256sum` of the two
# files is what the README quotes.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release}
jobs=${JOBS:-$(nproc)}
# Only code we do not own could read the build time; it gets the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

configure() { # build-folder, extra cmake arguments...
  local folder=$1
  shift
  # A toolchain is read at the first configuration only; CMake warns when it is given again.
  [ ! -f "$folder/CMakeCache.txt" ] || set --
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRELL_TESTS=OFF "$@" >/dev/null
  cmake --build "$folder" --target vantrell-helper -j "$jobs" >/dev/null
}
configure build/release-windows --toolchain cmake/mingw-w64.cmake
configure build/release-linux

mkdir -p "$out"
install -m 0644 build/release-windows/vantrell-helper.exe "$out/vantrell-helper.exe"
strip -o "$out/vantrell-helper" build/release-linux/vantrell-helper
chmod 0755 "$out/vantrell-helper"
