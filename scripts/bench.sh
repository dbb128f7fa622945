#!/usr/bin/env bash
# Every benchmark of the project in one invocation, each against its peer
# run in the same invocation; ends with one table of ratios. Not a test.
#   UPDATE_MB  size of the archive the update benchmark replaces (500)
#   ROUNDS     rounds of the extraction benchmark (5)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh native >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== start-up: a run with no command against /bin/true"
./scripts/bench-startup.sh | tee "$out/startup"
echo
echo "== verified update against sha512sum + cp + sync"
./scripts/bench-update.sh build/native/vantrell-helper "${UPDATE_MB:-500}" 3 | tee "$out/update"
echo
echo "== extraction against unzip, bsdtar and the miniz floor"
ROUNDS=${ROUNDS:-5} ./scripts/bench-extract.sh | tee "$out/extract"

echo
echo "== summary (ratio = helper time / peer time; lower is better)"
printf '%-44s %8s  %s\n' "benchmark" "ratio" "target"
read -r _ hms tms ratio rss <"$out/startup"
printf '%-44s %8.2f  %s\n' "start-up vs /bin/true ($hms ms vs $tms ms)" "$ratio" "-"
update_ratio=$(sed -n 's/.*ratio \([0-9.]*\)$/\1/p' "$out/update")
printf '%-44s %8.2f  %s\n' "verified update ${UPDATE_MB:-500} MB vs sha512sum+cp+sync" "$update_ratio" "<= 1.00"
grep 'helper /' "$out/extract" | sed 's/^ */extract /'
peak=$(sed -n 's/.*peak resident memory \([0-9.]*\) MB.*/\1/p' "$out/extract")
printf '%-44s %8s  %s\n' "extract peak resident memory" "${peak} MB" "<= 8 MB"
printf '%-44s %8s  %s\n' "start-up peak resident memory" "$((rss / 1024)) MB" "-"
printf '%-44s %8s  %s\n' "Windows exe size" \
  "$(($(stat -c %s build/windows/vantrell-helper.exe 2>/dev/null || echo 0) / 1024)) KB" "<= 1024 KB"
