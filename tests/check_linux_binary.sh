#!/usr/bin/env bash
# Fails unless the Linux helper starts on every distribution the app runs on
# (the oldest of them have glibc 2.28 and no OpenSSL 3): it may need no
# shared library but glibc's own, and no glibc symbol newer than 2.28. A
# statically linked helper needs none at all.
#   check_linux_binary.sh BINARY
set -euo pipefail
binary=${1:?usage: check_linux_binary.sh BINARY}
newest_glibc=2.28
glibc_libraries='^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|libresolv\.so\.2|libutil\.so\.1|libanl\.so\.1|ld-linux-x86-64\.so\.2)$'

header=$(readelf -h "$binary") || { echo "not an ELF file: $binary" >&2; exit 1; }
grep -q 'Machine:.*X86-64' <<<"$header" || { echo "not an x86-64 program: $binary" >&2; exit 1; }
dynamic=$(readelf -d "$binary")
if grep -q 'There is no dynamic section' <<<"$dynamic"; then
  readelf -l "$binary" | grep -q 'INTERP' && { echo "no dynamic section, yet a program interpreter: $binary" >&2; exit 1; }
  echo "ok: statically linked, needs no shared library: $binary"
  exit 0
fi

status=0
needed=$(sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' <<<"$dynamic")
while read -r library; do
  [ -n "$library" ] || continue
  if [[ "$library" =~ $glibc_libraries ]]; then
    echo "ok: needs $library"
  else
    echo "needs a shared library that is not glibc's: $library" >&2
    status=1
  fi
done <<<"$needed"
# Every versioned glibc symbol it takes from a shared library.
versions=$(objdump -T "$binary" | grep -o 'GLIBC_[0-9][0-9.]*' | sort -u -V)
for version in $versions; do
  number=${version#GLIBC_}
  if [ "$(printf '%s\n%s\n' "$number" "$newest_glibc" | sort -V | tail -1)" != "$newest_glibc" ]; then
    echo "needs $version, newer than glibc $newest_glibc: $(objdump -T "$binary" | grep -F "($version)" | awk '{print $NF}' | tr '\n' ' ')" >&2
    status=1
  fi
done
[ $status -ne 0 ] || echo "ok: glibc symbols up to ${versions##*GLIBC_}: $binary"
exit $status
