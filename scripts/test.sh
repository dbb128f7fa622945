#!/usr/bin/env bash
# Sets everything up, builds every build and runs every test of each: the
# native and Windows builds (the latter under Wine), the native build under
# AddressSanitizer and UndefinedBehaviorSanitizer, and short fuzz runs; then
# checks the release binaries and the npm package as they are shipped.
set -euo pipefail
cd "$(dirname "$0")/.."
began=$SECONDS
./scripts/setup.sh
presets=(native windows sanitize fuzz)
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
phase() { # name, command...: runs the command into the phase's log, then notes its status and time
  local name=$1 start=$SECONDS status=0
  shift
  "$@" >"$logs/$name.log" 2>&1 || status=$?
  echo "$status $((SECONDS - start))" >"$logs/$name.status"
}
build() {
  local start=$SECONDS
  ./scripts/build.sh "$1"
  echo "== build: $1 ($((SECONDS - start)) s)"
}
# The Windows preset's exe is the release exe: the release build takes it
# from there (the copy the check builds elsewhere still builds it afresh).
build windows
export VANTRELL_WINDOWS_TREE=build/windows
# The release builds depend on no other build: they run beside the builds
# below and fill what those leave of the machine (their configure and link
# steps run on one core).
phase reproducible ./scripts/check-reproducible.sh &
pid_reproducible=$!
for preset in native sanitize fuzz; do
  build "$preset"
done
echo "== setup and builds: $((SECONDS - began)) s"

# The test runs mostly wait (for a program to start under Wine, for a file
# another process holds, for a fuzz run's time) rather than compute, so they
# run side by side, each into a log of its own, shown once all have ended.
pack_and_package() {
  ./scripts/pack-npm.sh || return 1
  local version
  version=$(node -p 'require("./packages/electron/package.json").version')
  echo "== electron-builder"
  node scripts/check-electron-builder.js "build/npm/vantrell-helper-$version.tgz"
}
native_tests() {
  # The npm package's tests read the package's folder, which pack-npm.sh
  # rewrites: they run first, and the packing waits for them alone.
  local status=0
  ctest --preset native -L npm || status=1
  touch "$logs/native-npm.done"
  ctest --preset native -LE npm || status=1
  return $status
}
phase native native_tests &
pid_native=$!
for preset in windows sanitize fuzz; do
  phase "$preset" ctest --preset "$preset" &
done
# The package is packed from the release build the reproducibility check
# makes, once the package's own tests are done with its folder.
while [ ! -e "$logs/native-npm.done" ] && kill -0 "$pid_native" 2>/dev/null; do
  sleep 1
done
wait "$pid_reproducible" || true
phase npm-package pack_and_package &
wait || true

failed=()
for name in "${presets[@]}" reproducible npm-package; do
  read -r status seconds <"$logs/$name.status" || { status=1 seconds=?; }
  case $name in
  reproducible) echo "== reproducible release build ($seconds s)" ;;
  npm-package) echo "== npm package and electron-builder ($seconds s)" ;;
  *) echo "== tests: $name ($seconds s)" ;;
  esac
  cat "$logs/$name.log"
  [ "$status" -eq 0 ] || failed+=("$name")
done
echo "== all: $((SECONDS - began)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all tests passed: ${presets[*]}, reproducible release build, npm package, electron-builder"
