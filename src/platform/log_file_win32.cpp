// The log's folder and file on Windows: the per-user folder through the
// shell, our folder and the log opened by one name relative to the handle
// of the level above (NtCreateFile with RootDirectory), so that a junction
// made at either name redirects nothing.
#include "platform/log_file.h"

#include "platform/file_utils.h"
#include "platform/win32.h"

#include <winternl.h>

#include <string>

namespace Platform {

namespace {

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtStatusToErrorCall = ULONG(NTAPI*)(NTSTATUS);

// ntdll is in every process; looked up rather than imported, like the
// other calls the exe finds at run time.
template <typename Call> Call ntdllCall(const char* name) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

HANDLE fromStored(void* handle) { return static_cast<HANDLE>(handle); }

// Opens, or makes, `name` in `folder` without following a reparse point at
// it; null with the last error set on failure.
HANDLE openRelative(HANDLE folder, const char* name, ACCESS_MASK access, ULONG options) {
    static const auto create = ntdllCall<NtCreateFileCall>("NtCreateFile");
    static const auto toError = ntdllCall<NtStatusToErrorCall>("RtlNtStatusToDosError");
    if (create == nullptr || toError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    if (length <= 1 || length > 256) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, &wide[0], length);
    wide.pop_back();
    UNICODE_STRING unicode;
    unicode.Buffer = &wide[0];
    unicode.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    unicode.MaximumLength = unicode.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        create(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
               options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        SetLastError(toError(status));
        return nullptr;
    }
    return handle;
}

// Keeps `handle` when it is neither a link nor a junction (a name surrogate:
// other reparse points, such as a synced folder's, are its own content) nor
// one of several names of a file; else closes it and fails with
// kLinkRefusedError.
HANDLE refuseLink(HANDLE handle) {
    if (handle == nullptr)
        return nullptr;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        SetLastError(code);
        return nullptr;
    }
    const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(tag.ReparseTag);
    if (link || (!standard.Directory && standard.NumberOfLinks > 1)) {
        CloseHandle(handle);
        SetLastError(kLinkRefusedError);
        return nullptr;
    }
    return handle;
}

OVERLAPPED turnRange() {
    OVERLAPPED range{};
    range.OffsetHigh = 0x40000000u;
    return range;
}

} // namespace

std::string localAppDataFolder() {
    char folder[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return std::string();
    return FileUtils::toForwardSlashes(folder);
}

LogFolder::~LogFolder() {
    if (handle_ != nullptr)
        CloseHandle(fromStored(handle_));
}

bool LogFolder::open(const std::string& parent, const char* name) {
    if (handle_ != nullptr)
        return true;
    // The per-user folder is the user's to place: links on its way are followed.
    const HANDLE root = CreateFileA(FileUtils::toSystemSeparators(parent).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // A missing or non-folder parent reads as a missing folder on the way, as
    // making the folder by its path reports it.
    if (root == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(root, &information) || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(root);
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    HANDLE folder = openRelative(root, name, FILE_LIST_DIRECTORY | FILE_TRAVERSE, FILE_DIRECTORY_FILE);
    // A file at the name reads as the name being taken, as making the folder by
    // its path reports it.
    if (folder == nullptr && GetLastError() == ERROR_DIRECTORY)
        SetLastError(ERROR_ALREADY_EXISTS);
    folder = refuseLink(folder);
    const DWORD code = GetLastError();
    CloseHandle(root);
    SetLastError(code);
    handle_ = folder;
    return folder != nullptr;
}

LogFile::~LogFile() {
    if (owned_ && handle_ != nullptr)
        CloseHandle(fromStored(handle_));
}

LogFile& LogFile::standardError() {
    // Asked every time: the stream may be replaced while the process runs
    // (SetStdHandle, which the C run-time's _dup2 calls). A windowless
    // process may have no standard error at all.
    static LogFile stream(nullptr, false);
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    stream.handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<void*>(handle);
    return stream;
}

bool LogFile::open(const LogFolder& folder, const char* name) {
    if (handle_ != nullptr)
        return true;
    if (folder.handle_ == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Append only: every write goes to the end of the file as it is then,
    // also when another process appends at the same time. Reading tells
    // whether the file ends inside a line.
    handle_ = refuseLink(
        openRelative(fromStored(folder.handle_), name, FILE_APPEND_DATA | FILE_READ_DATA, FILE_NON_DIRECTORY_FILE));
    owned_ = true;
    return handle_ != nullptr;
}

bool LogFile::append(const char* data, std::size_t length) const {
    if (handle_ == nullptr || length > MAXDWORD) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD written = 0;
    return WriteFile(fromStored(handle_), data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

bool LogFile::endsMidLine() const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle_ == nullptr || !GetFileInformationByHandle(fromStored(handle_), &information))
        return false;
    const ULONGLONG size = (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if (size == 0)
        return false;
    LARGE_INTEGER last{};
    last.QuadPart = static_cast<LONGLONG>(size - 1);
    char octet = '\n';
    DWORD read = 0;
    if (!SetFilePointerEx(fromStored(handle_), last, nullptr, FILE_BEGIN) ||
        !ReadFile(fromStored(handle_), &octet, 1, &read, nullptr) || read != 1)
        return false;
    return octet != '\n';
}

LogFile::Turn LogFile::tryTurn() const {
    OVERLAPPED range = turnRange();
    if (handle_ != nullptr &&
        LockFileEx(fromStored(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range))
        return Turn::Taken;
    return handle_ != nullptr && GetLastError() == ERROR_LOCK_VIOLATION ? Turn::Busy : Turn::Failed;
}

void LogFile::endTurn() const {
    OVERLAPPED range = turnRange();
    UnlockFileEx(fromStored(handle_), 0, 1, 0, &range);
}

} // namespace Platform
