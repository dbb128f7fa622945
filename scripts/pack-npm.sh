#!/usr/bin/env bash
# Builds the helper for Windows (x64) and Linux (x64) as stripped release
# builds (scripts/build-release.sh), signs the exe when a certificate is given
# (VANTRELL_SIGN_PKCS12, see scripts/sign-exe.sh), puts them into
# packages/electron/bin/<platform>-<arch>/ and packs the npm package into
# build/npm/. Prints the tarball's files with sizes and modes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
package=$root/packages/electron

./scripts/build-release.sh build/release
rm -rf "$package/bin"
mkdir -p "$package/bin/win32-x64" "$package/bin/linux-x64"
install -m 0644 build/release/vantrell-helper.exe "$package/bin/win32-x64/vantrell-helper.exe"
install -m 0755 build/release/vantrell-helper "$package/bin/linux-x64/vantrell-helper"
if [ -n "${VANTRELL_SIGN_PKCS12:-}" ]; then
  ./scripts/sign-exe.sh "$package/bin/win32-x64/vantrell-helper.exe"
fi
sha256sum "$package/bin/win32-x64/vantrell-helper.exe" "$package/bin/linux-x64/vantrell-helper"

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
for file in README.md LICENSE package.json index.js index.d.ts lib/helper-path.js; do
  grep -q "^-rw-r--r-- .* package/$file\$" <<<"$listing" ||
    { echo "$file is missing from the package" >&2; exit 1; }
done
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
