#!/usr/bin/env bash
# Installs everything both builds and their tests need, idempotently, and
# fetches the miniz sources when no miniz 3 package is installed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# openssl is the command: the signing test makes its throw-away certificate
# with it, and the miniz fetch checks the package's hash. The helper itself
# links no crypto library.
pkgs=(cmake g++ make ninja-build googletest libgtest-dev
      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
      clang-14 libclang-rt-14-dev clang-format
      python3 unzip zip libarchive-tools time openssl bc strace
      osslsigncode)
# Node.js with npm: the npm package's tests, and fetching miniz. A machine
# that has them already (any Node 18 or later) keeps its own.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  pkgs+=(nodejs npm)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)' ||
  { echo "Node.js 18 or later is needed, found $(node --version)" >&2; exit 1; }
"$here/scripts/fetch-miniz.sh"
