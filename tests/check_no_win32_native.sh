#!/usr/bin/env bash
# Fails when the native build declares, defines or calls a Win32 function:
# natively the platform layer is plain POSIX, and the Win32 API is the
# Windows build's alone. Looks at the symbols of the native library and
# helper, and at every source and header the native build compiles (the
# *_win32.cpp files are Windows-only and left out).
#   check_no_win32_native.sh SOURCE_DIR BINARY...
set -euo pipefail
source_dir=${1:?usage: check_no_win32_native.sh SOURCE_DIR BINARY...}
shift
names='CreateFile[AW]|ReadFile|WriteFile|CloseHandle|[GS]etLastError|MoveFile(Ex)?[AW]|DeleteFile[AW]|GetFileAttributes[AW]|CreateDirectory[AW]|RemoveDirectory[AW]|Find(First|Next)File[AW]|FindClose|FlushFileBuffers|SetFilePointerEx|GetFileSizeEx|SetFileTime|GetFileInformationByHandle|SetFileInformationByHandle|(Un)?LockFileEx|GetTempPath[AW]|GetDiskFreeSpaceEx[AW]|GetCurrentProcessId|GetTickCount64|Sleep|RtlGenRandom|MultiByteToWideChar|SHGetFolderPath[AW]|CreateProcess[AW]|WaitForSingleObject|OpenProcess|Reg(Open|Create|Set|Query|Delete)[A-Za-z]*'
pattern="(^|[^A-Za-z0-9_:])($names)[[:space:]]*\\("
found=0
for binary in "$@"; do
  if nm -C "$binary" 2>/dev/null | grep -E "$pattern"; then
    echo "a Win32 function in $binary" >&2
    found=1
  fi
done
while IFS= read -r file; do
  if grep -nE "$pattern" "$file"; then
    echo "a Win32 function in $file" >&2
    found=1
  fi
done < <(find "$source_dir/src" -name '*.cpp' -o -name '*.h' | grep -vE '_win32\.cpp$|/main_windows\.cpp$' | sort)
[ "$found" = 0 ] && echo "ok: no Win32 function in the native build"
exit "$found"
