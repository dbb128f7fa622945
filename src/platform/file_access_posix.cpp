#include "platform/file_access.h"

#include "platform/error_code.h"
#include "platform/system_calls_posix.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace FileUtils {

namespace {

constexpr Platform::ErrorCode kAccessDenied = 5;

bool failErrno() {
    Platform::setLastError(Platform::errorFromErrno(errno));
    return false;
}

} // namespace

bool takeAccessOf(Platform::NativeFile like, Platform::NativeFile file) {
    struct stat st {};
    if (Platform::systemCalls.fstat(like, &st) != 0)
        return failErrno();
    // The owner first: changing it clears the set-id bits the mode then sets.
    // Only root may give a file away; anyone else keeps the new file his own.
    if (Platform::systemCalls.fchown(file, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return failErrno();
    return Platform::systemCalls.fchmod(file, st.st_mode & 07777) == 0 || failErrno();
}

bool takeCopiedAccess(Platform::NativeFile original, Platform::NativeFile copy, Platform::NativeFile ownerOf) {
    struct stat source {};
    struct stat holder {};
    if (Platform::systemCalls.fstat(original, &source) != 0 || Platform::systemCalls.fstat(ownerOf, &holder) != 0)
        return failErrno();
    // A program shipped in the update must still run (execute bits kept);
    // nothing installed may give anyone more rights than its owner had.
    if (Platform::systemCalls.fchown(copy, holder.st_uid, holder.st_gid) != 0 && errno != EPERM)
        return failErrno();
    return Platform::systemCalls.fchmod(copy, source.st_mode & 07777 &
                                                  ~static_cast<mode_t>(S_ISUID | S_ISGID | S_IWOTH)) == 0 ||
           failErrno();
}

bool makeRemovable(Platform::NativeFile file) {
    struct stat st {};
    if (Platform::systemCalls.fstat(file, &st) != 0)
        return failErrno();
    if ((st.st_mode & S_IWUSR) != 0)
        return true;
    // A file with another name elsewhere is no file of ours alone: it stays
    // as it is.
    if (st.st_nlink > 1) {
        Platform::setLastError(kAccessDenied);
        return false;
    }
    return Platform::systemCalls.fchmod(file, (st.st_mode & 07777) | S_IWUSR) == 0 || failErrno();
}

} // namespace FileUtils
