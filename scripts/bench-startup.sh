#!/usr/bin/env bash
# Start-up cost of a run with no command (log folder, log open, parsing)
# against /bin/true, in the same invocation. Prints one table row:
#   startup <helper ms per run> <true ms per run> <ratio> <helper peak RSS KB>
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
helper=${HELPER:-build/native/vantrell-helper}
[ -x "$helper" ] || ./scripts/build.sh native >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/appdata

time_runs() { # command... ; prints total nanoseconds for $runs runs
  local start end
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1; done
  end=$(date +%s%N)
  echo $((end - start))
}

# Interleave and keep the best of three rounds for each.
best_helper=0 best_true=0
for round in 1 2 3; do
  h=$(time_runs "$helper")
  t=$(time_runs /bin/true)
  if [ "$best_helper" -eq 0 ] || [ "$h" -lt "$best_helper" ]; then best_helper=$h; fi
  if [ "$best_true" -eq 0 ] || [ "$t" -lt "$best_true" ]; then best_true=$t; fi
done
rss=$(/usr/bin/time -f %M "$helper" 2>&1 >/dev/null | tail -1)
awk -v h="$best_helper" -v t="$best_true" -v n="$runs" -v rss="$rss" 'BEGIN {
  printf "startup %.3f %.3f %.2f %d\n", h / n / 1e6, t / n / 1e6, h / t, rss }'
