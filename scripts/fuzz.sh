#!/usr/bin/env bash
# Longer fuzz runs: scripts/fuzz.sh [seconds per target, default 600].
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
./scripts/build.sh fuzz
python3 fuzz/make_seeds.py build/fuzz/seeds
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  mkdir -p "build/fuzz/corpus/$name"
  echo "== $name for ${seconds}s"
  (cd build/fuzz && "../../$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    "corpus/$name" "seeds/$name")
done
