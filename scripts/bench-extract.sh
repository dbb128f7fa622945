#!/usr/bin/env bash
# Extraction benchmark (not a test), native build: the helper against
# `unzip -qo`, `bsdtar -xf` and miniz's own extraction, and against the floor
# of miniz alone inflating and checking every entry into memory, on three
# generated archives (an app's resources: ~5,000 files, 150 MB; one 300 MB
# file; 50,000 small files), into fresh folders on disk and in memory.
# Medians of ROUNDS interleaved rounds (default 7); then the helper's system
# calls per file, counted with strace.
#   BENCH_DATA  where the archives are kept (generated once; ~240 MB)
#   BENCH_DISK  a folder on disk to extract into
#   BENCH_MEM   a folder on a memory-backed file system
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
data=${BENCH_DATA:-$build/bench-data}
disk=${BENCH_DISK:-$build/bench-out}
mem=${BENCH_MEM:-/dev/shm/vantrell-bench-$$}

for tool in unzip bsdtar strace /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh installs it)" >&2; exit 1; }
done
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target vantrell-helper vantrell_inflate_floor vantrell_miniz_extract >/dev/null

python3 "$root/bench/make_archives.py" "$data"
mkdir -p "$disk" "$mem"
trap 'rm -rf "$disk" "$mem"' EXIT
python3 "$root/bench/run_bench.py" --rounds "${ROUNDS:-7}" \
  --helper "$build/vantrell-helper" --floor "$build/bench/vantrell_inflate_floor" \
  --miniz "$build/bench/vantrell_miniz_extract" \
  --disk "$disk" --memory "$mem" "$data/resources.zip" "$data/single.zip" "$data/small.zip"
