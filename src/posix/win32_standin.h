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

// Releases what a stand-in HANDLE points to (see standin_handle.h).
BOOL CloseHandle(HANDLE handle);

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

// ---- File handles (file_standin_posix.cpp) ----
// CreateFileA returns a handle released by CloseHandle. The share mode is
// kept among the stand-in's own handles with advisory locks: a handle that
// writes, or denies reading to others, locks exclusively; one that only
// reads and denies writing locks shared; a clash fails with
// ERROR_SHARING_VIOLATION, as the Windows share check does. It is coarser
// than Windows: two writers that both share writing clash here, and a reader
// that shares writing takes no lock and is never refused. A handle that does
// not share deleting makes DeleteFileA and MoveFileA/MoveFileExA of its file
// fail with 32, and replacing it fail with 5, as Windows does. FIFOs, sockets
// and devices are refused at once with ERROR_CANT_ACCESS_FILE.
#define ERROR_CANT_ACCESS_FILE 1920L
// Where a folder is needed, a file stands (267), or a link (1921).
#define ERROR_DIRECTORY 267L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
// Without GENERIC_WRITE it opens for appending: every write goes to the end
// of the file. FILE_READ_DATA with it lets the same handle read as well.
#define FILE_APPEND_DATA 0x00000004u
#define FILE_READ_DATA 0x00000001u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
// Opens a link itself instead of following it (O_NOFOLLOW).
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
// Lets a folder be opened (read-only, OPEN_EXISTING), as on Windows; without
// it opening a folder fails with 5.
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, void* securityAttributes, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
// Reads up to `toRead` bytes; TRUE with 0 bytes read at the end of the file.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, void* overlapped);
// Writes all `toWrite` bytes or fails (ERROR_DISK_FULL when space runs out).
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD* written, void* overlapped);
// Makes the file's data and size durable (fsync).
BOOL FlushFileBuffers(HANDLE file);

union LARGE_INTEGER {
    LONGLONG QuadPart;
};
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
// Moves the file pointer (lseek); `newPosition` may be null; a position
// before the start fails with 87.
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod);
// The size of an open file.
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);

// Byte-range locks held by the handle (open file description locks), so that
// processes sharing a file can take turns. Only Offset and OffsetHigh are
// read. With LOCKFILE_FAIL_IMMEDIATELY a range another handle holds answers
// ERROR_LOCK_VIOLATION; without it the call waits.
struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
#define LOCKFILE_FAIL_IMMEDIATELY 0x00000001u
#define LOCKFILE_EXCLUSIVE_LOCK 0x00000002u
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh, OVERLAPPED* overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD lengthLow, DWORD lengthHigh, OVERLAPPED* overlapped);

// ---- Links, file times, folder listings and volumes ----
// (file times in file_standin_posix.cpp, listings and volumes in
// folder_standin_posix.cpp)

// GetFileAttributesA reports a symbolic link itself, as Windows does: a
// reparse point, with FILE_ATTRIBUTE_DIRECTORY when it leads to a folder. A
// dangling link exists as a reparse point.
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define ERROR_NO_MORE_FILES 18L

// 100-nanosecond steps since 1601-01-01 UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
// Sets the access and modification times of an open file (a null time is
// left as it is; the creation time is not kept here and is ignored).
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);

// The volume is the device number and the file index the inode number, so
// two handles to the same file or folder report the same three values.
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};
// Lists the names in the folder of `pattern` that match its last component
// ('*' and '?' wildcards, ASCII case ignored). Only cFileName and
// dwFileAttributes (as GetFileAttributesA gives them) are filled. No match:
// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND; a missing folder: 3.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
// FALSE with ERROR_NO_MORE_FILES after the last match.
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

union ULARGE_INTEGER {
    ULONGLONG QuadPart;
};
// Bytes of the volume holding `directory` (statvfs): free to this user,
// total, and free in all. Any pointer may be null.
BOOL GetDiskFreeSpaceExA(LPCSTR directory, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree);

// ---- Work on an open file by its handle (file_standin_posix.cpp) ----
// Asking for DELETE lets a handle's file be deleted or renamed through it.
#define DELETE 0x00010000u
using WCHAR = wchar_t;
enum FILE_INFO_BY_HANDLE_CLASS { FileRenameInfo = 3, FileDispositionInfo = 4 };
struct FILE_DISPOSITION_INFO {
    BOOLEAN DeleteFile;
};
// FileName: the new full path, as "\??\" and the path (each '\' a
// separator), FileNameLength bytes long; RootDirectory must be null.
struct FILE_RENAME_INFO {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    DWORD FileNameLength;
    WCHAR FileName[1];
};
// Deletes, or renames, the very file the handle has open: the name it has
// now (the kernel's) is checked to still lead to that file right before the
// unlink or rename, and only that name is changed; a name that leads to
// another file by then fails with 32, a file that has no name any more with
// 2. As on Windows a read-only file is not deleted (5), and a rename without
// ReplaceIfExists fails on an existing name (183).
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size);

#define CP_ACP 0u
#define CP_UTF8 65001u
// UTF-8 (the ANSI code page here) to UTF-32 wide characters, as Windows'
// call turns the ANSI code page into UTF-16: the count of WCHARs written,
// or needed when `wideCount` is 0; 0 with 87 for malformed text, 122 for a
// buffer too small.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, WCHAR* wide, int wideCount);
