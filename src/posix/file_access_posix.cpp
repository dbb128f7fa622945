#include "platform/file_access.h"

#include "posix/standin_handle.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace FileUtils {

bool takeAccessOf(HANDLE like, HANDLE file) {
    const int from = descriptorOf(like);
    const int to = descriptorOf(file);
    struct stat st {};
    if (from < 0 || to < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (::fstat(from, &st) != 0) {
        SetLastError(win32ErrorFromErrno(errno, nullptr));
        return false;
    }
    // The owner first: changing it clears the set-id bits the mode then sets.
    // Only root may give a file away; anyone else keeps the new file his own.
    if (::fchown(to, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        SetLastError(win32ErrorFromErrno(errno, nullptr));
        return false;
    }
    if (::fchmod(to, st.st_mode & 07777) != 0) {
        SetLastError(win32ErrorFromErrno(errno, nullptr));
        return false;
    }
    return true;
}

} // namespace FileUtils
