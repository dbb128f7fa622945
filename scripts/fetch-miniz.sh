#!/usr/bin/env bash
# Fetches the miniz sources into third_party/miniz (ignored by git) unless
# they are already there. The only packaged copy reachable from here is the
# one inside an npm package; its integrity is checked before it is used.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/third_party/miniz"
pkg="react-native-code-push@9.0.1"
integrity="sha512-+7BhJbsx0c9md2zCOPsEv44eKQsvDM7J5nVYFsDUHVzBx8cvojBSPfjfdqZq5op5YmawH7mpbIPMYUj9bF9SLw=="

if [ -f "$dest/miniz.c" ] && [ -f "$dest/miniz.h" ]; then
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$pkg" >/dev/null)
tarball=$(ls "$work"/*.tgz)
got="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$got" != "$integrity" ]; then
  echo "miniz source package failed its integrity check: $got" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$work"
mkdir -p "$dest"
cp "$work"/package/windows/CodePush/miniz/* "$dest/"
echo "miniz sources fetched into $dest"
