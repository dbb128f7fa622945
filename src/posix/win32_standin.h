// A small POSIX stand-in for the subset of the ANSI Win32 API this helper
// calls. It keeps the Win32 contract (return values, GetLastError codes) so
// that the code above it behaves the same on both builds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <pthread.h>

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BYTE = unsigned char;
using BOOLEAN = unsigned char;
using ULONG = std::uint32_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using WORD = std::uint16_t;
using HRESULT = std::int32_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using HWND = void*;

struct HKEY__;
using HKEY = HKEY__*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define WINAPI
// The longest path Linux takes (PATH_MAX), where Windows takes 260.
#define MAX_PATH 4096

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_CANCELLED 1223L

#define S_OK 0
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define CSIDL_LOCAL_APPDATA 0x001C
#define SHGFP_TYPE_CURRENT 0

DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetCurrentProcessId();
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start; never goes back.
ULONGLONG GetTickCount64();
// Fills the buffer from the system's random source (getrandom).
BOOLEAN RtlGenRandom(void* buffer, ULONG length);

DWORD GetFileAttributesA(LPCSTR path);
BOOL CreateDirectoryA(LPCSTR path, void* securityAttributes);
// A file without its owner's write permission is read-only, for root too:
// deleting it, or replacing it with MoveFileExA, fails with 5. A failed
// move reports the path that failed: a missing source 2 (its folder 3), a
// missing destination folder 3, an existing destination without
// MOVEFILE_REPLACE_EXISTING 183.
BOOL DeleteFileA(LPCSTR path);
BOOL MoveFileA(LPCSTR existing, LPCSTR newName);
BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags);
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);

// The per-user local data folder is $XDG_DATA_HOME, else $HOME/.local/share.
// Like the Windows folder it is made when missing; one that cannot be made
// is still reported, so that its user names it when it fails there. Fails
// with E_FAIL when neither variable gives a folder that fits in MAX_PATH.
HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);

// Maps an errno value to the Win32 code a Windows caller would see for the
// same failure. `path` (may be null) lets ENOENT tell a missing file (2) from
// a missing folder on the way to it (3).
DWORD win32ErrorFromErrno(int error, const char* path);

// A path's separator; '\' is a character of a name, as Linux has it.
constexpr char kPathSeparator = '/';

// FIFOs, sockets and devices are not opened as files (1920).
#define ERROR_CANT_ACCESS_FILE 1920L
// Where a folder is needed, a file stands (267), or a link (1921).
#define ERROR_DIRECTORY 267L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

// GetFileAttributesA reports a symbolic link itself, as Windows does: a
// reparse point, with FILE_ATTRIBUTE_DIRECTORY when it leads to a folder. A
// dangling link exists as a reparse point.
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define ERROR_NO_MORE_FILES 18L
