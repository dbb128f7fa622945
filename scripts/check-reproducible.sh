#!/usr/bin/env bash
# Builds the release binaries in this checkout and in a copy of it at another,
# longer path, and fails unless both give the same bytes; fails too when the
# Linux helper would need more than old glibc (tests/check_linux_binary.sh).
# Prints the SHA-256 and the size of each binary.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1)
export SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The copy holds what git would commit (uncommitted changes included) and the
# fetched miniz sources, at a path of another length and depth.
copy=$work/another-checkout/of/vantrell-helper
mkdir -p "$copy/third_party"
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$copy"
cp -R third_party/miniz "$copy/third_party/"

start=$SECONDS
./scripts/build-release.sh build/release
echo "built in this checkout in $((SECONDS - start)) s"
start=$SECONDS
# The copy builds everything afresh, whatever this checkout reused.
env -u VANTRELL_WINDOWS_TREE "$copy/scripts/build-release.sh" build/release
echo "built in the copy in $((SECONDS - start)) s"

status=0
for binary in vantrell-helper.exe vantrell-helper; do
  here=build/release/$binary
  there=$copy/build/release/$binary
  [ -s "$here" ] && [ -s "$there" ] || { echo "ERROR: $binary was not built" >&2; exit 1; }
  if cmp -s "$here" "$there"; then
    echo "same bytes in both checkouts: $(sha256sum "$here" | cut -d' ' -f1)  $binary"
  else
    echo "ERROR: $binary differs between $root and $copy: $(cmp "$here" "$there" | head -1)" >&2
    status=1
  fi
done
# The Linux helper starts wherever the app runs: nothing needed beyond old glibc.
tests/check_linux_binary.sh build/release/vantrell-helper || status=1
echo "sizes: $(stat -c '%s bytes  %n' build/release/vantrell-helper build/release/vantrell-helper.exe | paste -sd ';' | sed 's/;/; /')"
exit $status
