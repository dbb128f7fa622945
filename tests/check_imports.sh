#!/usr/bin/env bash
# Fails unless every DLL the exe imports is one that ships with Windows, and
# none is a DLL the helper loads itself: bcrypt.dll is loaded from the system
# folder after the DLL search is restricted, and an import of it would be
# loaded by the system before, from wherever the search finds it first.
# The calls relative to a held folder's handle are among its imports
# (ntdll.dll is always loaded from the system folder).
set -euo pipefail
exe=$1
allowed='^(KERNEL32|ADVAPI32|SHELL32|msvcrt|ntdll|USER32|api-ms-win-crt-[a-z0-9-]+)\.dll$'
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ -n "$dlls" ] || { echo "no imports found in $exe" >&2; exit 1; }
status=0
while read -r dll; do
  if [[ "$dll" =~ $allowed ]]; then
    echo "ok: $dll"
  else
    echo "not a system DLL the helper may import: $dll" >&2
    status=1
  fi
done <<<"$dlls"
imports=$(x86_64-w64-mingw32-objdump -p "$exe")
for call in NtCreateFile NtSetInformationFile; do
  if grep -qE "^\s+[0-9a-f]+\s+[0-9]+\s+$call\$" <<<"$imports"; then
    echo "ok: $call"
  else
    echo "not imported: $call" >&2
    status=1
  fi
done
exit $status
