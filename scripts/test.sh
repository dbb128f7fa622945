#!/usr/bin/env bash
# Sets everything up, builds every build and runs every test of each.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh native windows
status=0
for preset in native windows; do
  echo "== tests: $preset"
  ctest --preset "$preset" || status=1
done
exit $status
