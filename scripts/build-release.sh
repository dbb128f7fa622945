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
# VANTRELL_WINDOWS_TREE may name a build tree of this checkout that the
# `windows` preset made: a Release build with the same toolchain and flags,
# whose exe is the release exe byte for byte (the tests it also builds change
# nothing in it). It is then brought up to date and used instead of a second
# build of the same exe; ./scripts/check-reproducible.sh compares that exe
# with one built afresh in a copy of the checkout.
windows=build/release-windows
if [ -n "${VANTRELL_WINDOWS_TREE:-}" ]; then
  windows=$VANTRELL_WINDOWS_TREE
  for entry in "CMAKE_BUILD_TYPE:STRING=Release" "CMAKE_TOOLCHAIN_FILE:FILEPATH=$PWD/cmake/mingw-w64.cmake" \
               "CMAKE_CXX_FLAGS:STRING=" "CMAKE_C_FLAGS:STRING=" "VANTRELL_SANITIZE:BOOL=OFF" "VANTRELL_FUZZ:BOOL=OFF"; do
    grep -qxF "$entry" "$windows/CMakeCache.txt" 2>/dev/null ||
      { echo "ERROR: $windows is no plain Release build of this checkout for Windows (no $entry)" >&2; exit 1; }
  done
  cmake --build "$windows" --target vantrell-helper -j "$jobs" >/dev/null
else
  configure build/release-windows --toolchain cmake/mingw-w64.cmake
fi
configure build/release-linux

mkdir -p "$out"
install -m 0644 "$windows/vantrell-helper.exe" "$out/vantrell-helper.exe"
strip -o "$out/vantrell-helper" build/release-linux/vantrell-helper
chmod 0755 "$out/vantrell-helper"
