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

# Sample data: an installed app's archive and a downloaded update.
make_data() {
  local dir=$1
  mkdir -p "$dir/App/resources" "$dir/Downloads"
  head -c 3000000 /dev/urandom >"$dir/App/resources/app.asar"
  head -c 4000000 /dev/urandom >"$dir/Downloads/update.asar"
  cp "$dir/Downloads/update.asar" "$dir/expected-app.asar"
}

demo_runs() {
  local dir=$1  # the sample data folder here
  local data=$2 # the same folder as the helper sees it
  local launcher=("${@:3}")
  make_data "$dir"
  step "no command: creates the log folder and log, does nothing else"
  step "sleep" --sleep --ms 250
  step "a bad command line: unknown and malformed arguments are ignored" --bogus -x --ms=5 plain
  step "sleep without its time: refused" --sleep
  step "update the app's archive" --update --wait 4242 \
    --appAsar "$data/App/resources/app.asar" --updateAsar "$data/Downloads/update.asar"
  cmp -s "$dir/App/resources/app.asar" "$dir/expected-app.asar" && echo "   app.asar now holds the update"
  [ -e "$dir/Downloads/update.asar" ] || echo "   update.asar removed"
  step "update without its archive: refused, later commands do not run" --update \
    --appAsar "$data/App/resources/app.asar" --updateAsar "$data/Downloads/update.asar" --launch --program "${launcher[1]}"
  step "launch a program without waiting for it" --launch "${launcher[@]}"
  sleep 1
  [ -e "$dir/launched.txt" ] && echo "   the launched program wrote launched.txt"
}

echo "== native build"
export XDG_DATA_HOME=$demo/native/appdata TMPDIR=$demo/native/tmp
mkdir -p "$TMPDIR"
runner=("$root/build/native/vantrell-helper")
demo_runs "$demo/native" "$demo/native" --program /bin/touch --args "$demo/native/launched.txt"
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
demo_runs "$demo/windows" "Z:$demo/windows" --program C:/windows/system32/cmd.exe \
  --args "/c echo launched> Z:$demo/windows/launched.txt"
echo "-- log: $winlog"
tr -d '\r' <"$winlog"
