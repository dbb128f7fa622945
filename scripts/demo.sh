#!/usr/bin/env bash
# Sets everything up, builds both builds and runs the helper on generated
# sample data, natively and under Wine, printing the log each run wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
./scripts/setup.sh
./scripts/build.sh native windows

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo"

# Runs one demo step: a title, then the helper with the given arguments.
step() {
  local title=$1
  shift
  echo "-- $title"
  echo "   vantrell-helper $*"
  set +e
  "${runner[@]}" "$@" >/dev/null 2>&1
  echo "   exit status: $?"
  set -e
}

demo_runs() {
  local data=$1 # the sample data folder, as the helper sees it
  step "no command: creates the log folder and log, does nothing else"
  step "sleep" --sleep --ms 250
  step "a bad command line: unknown and malformed arguments are ignored" --bogus -x --ms=5 plain
  step "sleep without its time: refused" --sleep
}

echo "== native build"
export XDG_DATA_HOME=$demo/native/appdata TMPDIR=$demo/native/tmp
mkdir -p "$TMPDIR"
runner=("$root/build/native/vantrell-helper")
demo_runs "$demo/native"
echo "-- log: $XDG_DATA_HOME/vantrell/update-log.txt"
cat "$XDG_DATA_HOME/vantrell/update-log.txt"

echo
echo "== Windows build under Wine"
prefix=$root/build/windows/wine
./scripts/wine-prefix.sh start "$prefix"
trap './scripts/wine-prefix.sh stop "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all LANG=C.UTF-8
runner=(wine "$root/build/windows/vantrell-helper.exe")
winlog=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')")/vantrell/update-log.txt
rm -f "$winlog"
demo_runs "Z:$demo/windows"
echo "-- log: $winlog"
tr -d '\r' <"$winlog"
