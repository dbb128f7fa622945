#!/usr/bin/env bash
# Builds the helper for Windows (x64) and Linux (x64) as stripped release
# builds, puts them into packages/electron/bin/<platform>-<arch>/ and packs the
# npm package into build/npm/. Prints the tarball's files with sizes and modes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
package=$root/packages/electron

cmake --preset windows >/dev/null
cmake --build --preset windows --target vantrell-helper
# A release build of its own: the native preset keeps debug information for
# the tests and sanitizers.
cmake -S . -B build/pack-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRELL_TESTS=OFF >/dev/null
cmake --build build/pack-native --target vantrell-helper

rm -rf "$package/bin"
mkdir -p "$package/bin/win32-x64" "$package/bin/linux-x64"
install -m 0644 build/windows/vantrell-helper.exe "$package/bin/win32-x64/vantrell-helper.exe"
strip -o "$package/bin/linux-x64/vantrell-helper" build/pack-native/vantrell-helper
chmod 0755 "$package/bin/linux-x64/vantrell-helper"

mkdir -p build/npm
tarball=$(cd "$package" && npm pack --silent --pack-destination "$root/build/npm")
tarball=$root/build/npm/$tarball
echo "== $tarball ($(stat -c %s "$tarball") bytes)"
tar -tvzf "$tarball"

# What an installed package needs: both binaries, the Linux one executable,
# the Windows one stripped, and all of it under 1 MB.
listing=$(tar -tvzf "$tarball")
grep -q '^-rwxr-xr-x .* package/bin/linux-x64/vantrell-helper$' <<<"$listing" ||
  { echo "the Linux helper is missing or not executable in the package" >&2; exit 1; }
grep -q ' package/bin/win32-x64/vantrell-helper.exe$' <<<"$listing" ||
  { echo "the Windows helper is missing from the package" >&2; exit 1; }
if x86_64-w64-mingw32-objdump -h "$package/bin/win32-x64/vantrell-helper.exe" | grep -q '\.debug'; then
  echo "the Windows helper carries debug sections" >&2
  exit 1
fi
[ "$(stat -c %s "$tarball")" -lt 1048576 ] || { echo "the package is 1 MB or more" >&2; exit 1; }

# The unpacked package finds its own Linux binary, and that binary runs.
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
tar -xzf "$tarball" -C "$check"
XDG_DATA_HOME=$check/data node -e '
  const helper = require(process.argv[1]);
  const found = helper.helperPath();
  const run = require("child_process").spawnSync(found, [], { encoding: "utf8" });
  if (run.status !== 0 || run.stdout.trim() !== helper.logPath()) throw new Error(`${found}: ${run.status} ${run.stdout}`);
  console.log(`unpacked package runs ${found}`);
' "$check/package"
