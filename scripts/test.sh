#!/usr/bin/env bash
# Sets everything up, builds every build and runs every test of each: the
# native and Windows builds (the latter under Wine), the native build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and short fuzz runs; then
# checks the release binaries and the npm package as they are shipped.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
presets=(native windows sanitize fuzz)
./scripts/build.sh "${presets[@]}"
failed=()
for preset in "${presets[@]}"; do
  echo "== tests: $preset"
  ctest --preset "$preset" || failed+=("$preset")
done
# The shipped binaries: the same bytes from two checkouts; the npm tarball;
# that tarball in an app packaged by electron-builder for each target.
echo "== reproducible release build"
./scripts/check-reproducible.sh || failed+=(reproducible)
echo "== npm package"
if ./scripts/pack-npm.sh; then
  version=$(node -p 'require("./packages/electron/package.json").version')
  echo "== electron-builder"
  node scripts/check-electron-builder.js "build/npm/vantrell-helper-$version.tgz" || failed+=(electron-builder)
else
  failed+=(npm-package)
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all tests passed: ${presets[*]}, reproducible release build, npm package, electron-builder"
