// The native build's last error: one per thread, as the system keeps errno.
#include "platform/error_code.h"

#include "platform/error_codes_posix.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace Platform {

namespace {

thread_local ErrorCode last = 0;

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

} // namespace

ErrorCode lastError() { return last; }
void setLastError(ErrorCode code) { last = code; }

ErrorCode errorFromErrno(int error, const char* path) {
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

} // namespace Platform
