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

namespace {

bool failErrno() {
    SetLastError(win32ErrorFromErrno(errno, nullptr));
    return false;
}

} // namespace

bool takeCopiedAccess(HANDLE original, HANDLE copy, HANDLE ownerOf) {
    const int from = descriptorOf(original);
    const int to = descriptorOf(copy);
    const int owner = descriptorOf(ownerOf);
    struct stat source {};
    struct stat holder {};
    if (from < 0 || to < 0 || owner < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (::fstat(from, &source) != 0 || ::fstat(owner, &holder) != 0)
        return failErrno();
    // A program shipped in the update must still run (execute bits kept);
    // nothing installed may give anyone more rights than its owner had.
    if (::fchown(to, holder.st_uid, holder.st_gid) != 0 && errno != EPERM)
        return failErrno();
    if (::fchmod(to, source.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID | S_IWOTH)) != 0)
        return failErrno();
    return true;
}

bool makeRemovable(HANDLE file) {
    const int fd = descriptorOf(file);
    struct stat st {};
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (::fstat(fd, &st) != 0)
        return failErrno();
    if ((st.st_mode & S_IWUSR) != 0)
        return true;
    // A file with another name elsewhere is no file of ours alone: it stays
    // as it is.
    if (st.st_nlink > 1) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (::fchmod(fd, (st.st_mode & 07777) | S_IWUSR) != 0)
        return failErrno();
    return true;
}

} // namespace FileUtils
