#!/usr/bin/env bash
# Sets everything up, builds every build and runs every test of each: the
# native and Windows builds (the latter under Wine), the native build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and short fuzz runs.
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
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all tests passed: ${presets[*]}"
