#!/usr/bin/env bash
# Longer fuzz runs: scripts/fuzz.sh [seconds per target, default 600].
# Runs every target, whatever the others found, and fails when any of them
# failed: a crash, a leak, an input slower than 10 s, or a target that does
# not end within its time and two minutes more.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
./scripts/build.sh fuzz
python3 fuzz/make_seeds.py build/fuzz/seeds
failed=()
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  mkdir -p "build/fuzz/corpus/$name"
  echo "== $name for ${seconds}s"
  if ! (cd build/fuzz && timeout --kill-after=30 "$((seconds + 120))" "../../$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "corpus/$name" "seeds/$name"); then
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all fuzz targets passed"
