#!/usr/bin/env bash
# Signs a Windows exe in place (Authenticode, SHA-256) with osslsigncode:
#   sign-exe.sh FILE.exe
# with the certificate named by the environment:
#   VANTRELL_SIGN_PKCS12      the PKCS#12 file holding the certificate and its key
#   VANTRELL_SIGN_PASSWORD    its password (empty or unset: none)
#   VANTRELL_SIGN_TIMESTAMP   optional: an RFC 3161 time-stamp server's URL, so
#                             the signature stays valid after the certificate expires
# The signed exe is written beside FILE and renamed over it in one step, so a
# failure leaves FILE as it was. The password never appears on a command line.
set -euo pipefail
exe=${1:?usage: sign-exe.sh FILE.exe}
pkcs12=${VANTRELL_SIGN_PKCS12:?VANTRELL_SIGN_PKCS12 names no certificate}
[ -f "$exe" ] || { echo "ERROR: no such exe: $exe" >&2; exit 1; }
[ -r "$pkcs12" ] || { echo "ERROR: cannot read the certificate: $pkcs12" >&2; exit 1; }

# A private folder beside the exe: the same file system, so the rename is one step.
private=$(mktemp -d "$(dirname "$exe")/.signing-XXXXXX")
trap 'rm -rf "$private"' EXIT
signed=$private/signed.exe
args=(sign -pkcs12 "$pkcs12" -h sha256 -n vantrell-helper -in "$exe" -out "$signed")
[ -z "${VANTRELL_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$VANTRELL_SIGN_TIMESTAMP")
# osslsigncode reads no empty password from a file: a file without one is opened as it is.
if [ -n "${VANTRELL_SIGN_PASSWORD:-}" ]; then
  run() { osslsigncode "${args[@]}" -readpass <(printf '%s' "$VANTRELL_SIGN_PASSWORD"); }
else
  run() { osslsigncode "${args[@]}"; }
fi
if ! log=$(run 2>&1); then
  echo "ERROR: signing $exe failed: $(printf '%s' "$log" | tr -s '\n' ' ')" >&2
  exit 1
fi
chmod --reference="$exe" "$signed"
mv -f "$signed" "$exe"
echo "signed $exe with $pkcs12${VANTRELL_SIGN_TIMESTAMP:+, time-stamped by $VANTRELL_SIGN_TIMESTAMP}"
