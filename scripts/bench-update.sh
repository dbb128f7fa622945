#!/usr/bin/env bash
# Times the verified update of a large archive (--sha512) against
# `sha512sum` of the same file, then `cp` of it and `sync` of the copy: both
# sides check the bytes and pay for putting them on disk, the helper in one
# pass. Prints each round and the ratio of the medians. Not a test.
#
# usage: bench-update.sh [HELPER] [SIZE_MB] [ROUNDS]
#   HELPER defaults to build/native/vantrell-helper, SIZE_MB to 500, ROUNDS to 3.
# The work folder is under $BENCH_DIR (default: the system's temporary folder).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
helper=${1:-$here/build/native/vantrell-helper}
size_mb=${2:-500}
rounds=${3:-3}
[ -x "$helper" ] || { echo "no helper at $helper" >&2; exit 2; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vantrell-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/tmp"
export XDG_DATA_HOME=$work/appdata TMPDIR=$work/tmp

head -c "${size_mb}M" /dev/urandom >"$work/source"
digest=$(sha512sum "$work/source" | cut -d' ' -f1)
now() { date +%s.%N; }

cp_times=()
helper_times=()
for round in $(seq "$rounds"); do
    # Both sides read a source that is in the page cache and write over a
    # small existing file, starting with nothing else left to write back.
    cp "$work/source" "$work/update.asar"
    echo old >"$work/app/app.asar"
    echo old >"$work/app/copy.asar"
    sync

    start=$(now)
    [ "$(sha512sum "$work/update.asar" | cut -d' ' -f1)" = "$digest" ]
    cp "$work/update.asar" "$work/app/copy.asar"
    sync "$work/app/copy.asar"
    end=$(now)
    cp_times+=("$(echo "$end - $start" | bc)")
    sync

    start=$(now)
    "$helper" --update --appAsar "$work/app/app.asar" --updateAsar "$work/update.asar" --sha512 "$digest" \
        >/dev/null 2>&1
    end=$(now)
    helper_times+=("$(echo "$end - $start" | bc)")
    cmp -s "$work/source" "$work/app/app.asar" || { echo "the update did not produce the source" >&2; exit 1; }
    printf 'round %d: sha512sum+cp+sync %.3f s, verified update %.3f s\n' "$round" "${cp_times[-1]}" "${helper_times[-1]}"
    rm -f "$work/app/copy.asar"
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
cp_median=$(median "${cp_times[@]}")
helper_median=$(median "${helper_times[@]}")
printf '%d MB, median of %d: sha512sum+cp+sync %.3f s, verified update %.3f s, ratio %.3f\n' "$size_mb" "$rounds" "$cp_median" \
    "$helper_median" "$(echo "$helper_median / $cp_median" | bc -l)"
