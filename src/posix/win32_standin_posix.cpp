// POSIX implementation of the Win32 basics: errors, process id, sleep,
// critical sections, file attributes, folders and the temporary and
// per-user data folders.
#include "posix/win32_standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
thread_local DWORD lastError = 0;

bool parentExists(const char* path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos)
        return true; // relative name in the current folder
    const std::string parent = slash == 0 ? "/" : p.substr(0, slash);
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

BOOL fail(int error, const char* path) {
    SetLastError(win32ErrorFromErrno(error, path));
    return FALSE;
}

// The read-only attribute, as GetFileAttributesA reports it. Tested here
// rather than left to the system, which lets root write and delete anything.
bool isReadOnlyFile(const char* path) {
    struct stat st {};
    return ::lstat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0;
}

// A failed rename names no path: a missing source is reported from the
// source (2, or 3 for its folder), anything else missing is the
// destination's folder (3).
BOOL failMove(int error, const char* existing) {
    struct stat st {};
    if (error == ENOENT && ::lstat(existing, &st) == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return fail(error, existing);
}
} // namespace

DWORD win32ErrorFromErrno(int error, const char* path) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return path == nullptr || parentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

ULONGLONG GetTickCount64() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec / 1000000L);
}

BOOLEAN RtlGenRandom(void* buffer, ULONG length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const ssize_t got = ::getrandom(bytes, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return FALSE;
        bytes += got;
        length -= static_cast<ULONG>(got);
    }
    return TRUE;
}

namespace {

// The attributes Windows gives a folder or a regular file of this mode: the
// read-only attribute is the owner's write permission.
DWORD attributesOfMode(unsigned mode) {
    if (S_ISDIR(mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return (mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

} // namespace

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st {};
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (::lstat(path, &st) != 0) {
        fail(errno, path);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISLNK(st.st_mode)) {
        // Windows describes the link itself, not what it leads to.
        struct stat target {};
        const bool toFolder = ::stat(path, &target) == 0 && S_ISDIR(target.st_mode);
        return FILE_ATTRIBUTE_REPARSE_POINT | (toFolder ? FILE_ATTRIBUTE_DIRECTORY : 0u);
    }
    return attributesOfMode(st.st_mode);
}

BOOL CreateDirectoryA(LPCSTR path, void* /*securityAttributes*/) {
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (::mkdir(path, 0777) != 0)
        return fail(errno, path);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return fail(EACCES, path); // Windows refuses to delete a folder as a file
    if (isReadOnlyFile(path))
        return fail(EACCES, path);
    if (::unlink(path) != 0)
        return fail(errno, path);
    return TRUE;
}

BOOL MoveFileA(LPCSTR existing, LPCSTR newName) {
    // MoveFileA never replaces: link-free "rename unless the target exists".
#ifdef __linux__
    if (::renameat2(AT_FDCWD, existing, AT_FDCWD, newName, RENAME_NOREPLACE) == 0)
        return TRUE;
    if (errno != EINVAL && errno != ENOSYS)
        return failMove(errno, existing);
#endif
    struct stat st {};
    if (::lstat(newName, &st) == 0)
        return fail(EEXIST, newName);
    if (::rename(existing, newName) != 0)
        return failMove(errno, existing);
    return TRUE;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // There is no reboot queue here: a parked file lives in the temporary
        // folder, which the system clears on its own.
        return TRUE;
    }
    if (newName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING))
        return MoveFileA(existing, newName);
    struct stat target {};
    if (::lstat(newName, &target) == 0 && S_ISREG(target.st_mode)) {
        if ((target.st_mode & S_IWUSR) == 0)
            return fail(EACCES, newName); // Windows replaces no read-only file
    }
    if (::rename(existing, newName) != 0)
        return failMove(errno, existing);
    if (flags & MOVEFILE_WRITE_THROUGH) {
        // The new name is durable only once its folder is on disk.
        const std::string name(newName);
        const auto slash = name.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return fail(errno, folder.c_str());
        const int synced = ::fsync(fd);
        const int error = errno;
        ::close(fd);
        if (synced != 0)
            return fail(error, nullptr);
    }
    return TRUE;
}

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    if (dir.size() + 1 > bufferLength)
        return static_cast<DWORD>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

HRESULT SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
    if (folder != CSIDL_LOCAL_APPDATA)
        return E_FAIL;
    std::string dir;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg == '/')
        dir = xdg;
    else if (home != nullptr && *home == '/')
        dir = std::string(home) + "/.local/share";
    else
        return E_FAIL;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir.size() >= MAX_PATH)
        return E_FAIL;
    // Create the chain the way the desktop session would have; a level that
    // cannot be made leaves the rest to fail where the folder is used.
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            const std::string prefix = dir.substr(0, i);
            if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
                break;
        }
    }
    std::memcpy(path, dir.c_str(), dir.size() + 1);
    return S_OK;
}
