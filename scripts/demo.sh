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
  [ -z "$title" ] || echo "-- $title"
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
  # A zip shaped like an app's resources: folders, text and binary files.
  mkdir -p "$dir/pkg/locales" "$dir/pkg/assets/img"
  echo 'console.log("hello")' >"$dir/pkg/main.js"
  for l in en de fr; do echo "{\"lang\": \"$l\"}" >"$dir/pkg/locales/$l.json"; done
  head -c 200000 /dev/urandom >"$dir/pkg/assets/img/logo.bin"
  (cd "$dir/pkg" && zip -qr ../resources.zip .)
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
  # --wait names an app that has already exited: nothing to wait for.
  step "update the app's archive" --update --wait 99999942 \
    --appAsar "$data/App/resources/app.asar" --updateAsar "$data/Downloads/update.asar"
  cmp -s "$dir/App/resources/app.asar" "$dir/expected-app.asar" && echo "   app.asar now holds the update"
  [ -e "$dir/Downloads/update.asar" ] || echo "   update.asar removed"
  step "update without its archive: refused, later commands do not run" --update \
    --appAsar "$data/App/resources/app.asar" --updateAsar "$data/Downloads/update.asar" --launch --program "${launcher[1]}"
  step "write a registry string and a number" --regedit --rootkey HKCU --subkey 'Software\VantrellDemo' \
    --key Version --value 1.2.3 --type REG_SZ
  step "" --regedit --rootkey HKCU --subkey 'Software\VantrellDemo' --key Build --value 42 --type REG_DWORD
  step "a key that does not exist is never created" --regedit --rootkey HKCU --subkey 'Software\NoSuchKey' \
    --key x --value y --type REG_SZ
  step "extract a zip" --extract --zip "$data/resources.zip" --out "$data/unpacked"
  diff -r "$dir/pkg" "$dir/unpacked" >/dev/null && echo "   unpacked tree matches the packed one"
  step "launch a program without waiting for it" --launch "${launcher[@]}"
  sleep 1
  [ -e "$dir/launched.txt" ] && echo "   the launched program wrote launched.txt"
}

echo "== native build"
export XDG_DATA_HOME=$demo/native/appdata TMPDIR=$demo/native/tmp
mkdir -p "$TMPDIR"
# The native registry store: a key is a folder, its values are files in its
# folder "\values"; the demo key must exist.
mkdir -p "$XDG_DATA_HOME/vantrell/registry/HKCU/Software/VantrellDemo"
runner=("$root/build/native/vantrell-helper")
demo_runs "$demo/native" "$demo/native" --program /bin/touch --args "$demo/native/launched.txt"
echo "-- log: $XDG_DATA_HOME/vantrell/update-log.txt"
cat "$XDG_DATA_HOME/vantrell/update-log.txt"
echo "-- registry values (4-byte type, then the data):"
for v in Version Build; do
  printf '   %s: ' "$v"
  od -An -tx1 "$XDG_DATA_HOME/vantrell/registry/HKCU/Software/VantrellDemo/\\values/$v" | tr -s ' '
done

echo
echo "== Windows build under Wine"
prefix=$root/build/windows/wine
./scripts/wine-prefix.sh start "$prefix"
trap './scripts/wine-prefix.sh stop "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all LANG=C.UTF-8
runner=(wine "$root/build/windows/vantrell-helper.exe")
winlog=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')")/vantrell/update-log.txt
rm -f "$winlog"
wine reg delete 'HKCU\Software\VantrellDemo' /f >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\VantrellDemo' /f >/dev/null 2>&1
demo_runs "$demo/windows" "Z:$demo/windows" --program C:/windows/system32/cmd.exe \
  --args "/c echo launched> Z:$demo/windows/launched.txt"
echo "-- log: $winlog"
tr -d '\r' <"$winlog"
echo "-- registry values:"
wine reg query 'HKCU\Software\VantrellDemo' 2>/dev/null | tr -d '\r'
