// The log on Windows: the per-user folder through the shell, and the log
// opened by one name relative to our folder's handle, so that a junction
// made at the name redirects nothing.
#include "platform/log_file.h"

#include "platform/file_utils.h"
#include "platform/held_folder_win32.h"
#include "platform/win32.h"

#include <string>

namespace Platform {

namespace {

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

LogFile& LogFile::standardError() {
    // Asked every time: the stream may be replaced while the process runs
    // (SetStdHandle, which the C run-time's _dup2 calls). A windowless
    // process may have no standard error at all.
    static LogFile stream(File::invalid());
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    stream.handle_ = handle == nullptr ? File::invalid() : handle;
    return stream;
}

bool LogFile::open(const FileUtils::HeldFolder& folder, const char* name) {
    if (isOpen())
        return true;
    if (!folder.isOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Append only: every write goes to the end of the file as it is then,
    // also when another process appends at the same time. Reading tells
    // whether the file ends inside a line.
    owned_ = FileUtils::openAppendingFile(folder, name);
    handle_ = owned_.native();
    return isOpen();
}

bool LogFile::append(const char* data, std::size_t length) const {
    if (!isOpen() || length > MAXDWORD) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD written = 0;
    return WriteFile(handle_, data, static_cast<DWORD>(length), &written, nullptr) && written == length;
}

LogFile::Turn LogFile::tryTurn() const {
    OVERLAPPED range = turnRange();
    if (isOpen() && LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range))
        return Turn::Taken;
    return isOpen() && GetLastError() == ERROR_LOCK_VIOLATION ? Turn::Busy : Turn::Failed;
}

void LogFile::endTurn() const {
    OVERLAPPED range = turnRange();
    UnlockFileEx(handle_, 0, 1, 0, &range);
}

} // namespace Platform
