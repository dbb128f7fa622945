// Natively the lock is flock on the lock file, reached relative to the held
// folder and never through a link.
#include "commands/update/update_lock.h"

#include "platform/error_code.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

enum class Step { held, busy, again, failed };

Step failErrno(int error) {
    Platform::setLastError(Platform::errorFromErrno(error));
    return Step::failed;
}

// A lock file no one but who may write the folder can open: a plain file of
// its own (one link), for its owner only, owned by root, the folder's owner
// or this run's user. Anything else was put there by another hand, or is
// left from a time when others could write the folder: it is replaced.
bool isSound(const struct stat& file, const struct stat& folder) {
    return S_ISREG(file.st_mode) && file.st_nlink == 1 && (file.st_mode & 077) == 0 &&
           (file.st_uid == 0 || file.st_uid == folder.st_uid || file.st_uid == ::geteuid());
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Gives a new lock file, open as `fd` and never yet seen by anyone, its
// mode and, for root, the folder's owner, so that the owner can still
// update later.
bool prepare(int fd, const struct stat& folder) {
    if (::geteuid() == 0 && folder.st_uid != 0 && ::fchown(fd, folder.st_uid, static_cast<gid_t>(-1)) != 0)
        return false;
    return ::fchmod(fd, 0600) == 0;
}

// Makes the lock file: unnamed first, prepared, then linked in, so that it
// never shows with the wrong owner; where the file system cannot, named at
// once. A descriptor of the new file, or -1 with errno (EEXIST: another run
// made it first).
int createLockFile(int at, const std::string& name, const struct stat& folder) {
    const int unnamed = ::openat(at, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed);
        if (prepare(unnamed, folder) && ::flock(unnamed, LOCK_EX | LOCK_NB) == 0 &&
            ::linkat(AT_FDCWD, self.c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return unnamed;
        const int error = errno;
        ::close(unnamed);
        if (error != ENOENT) { // ENOENT: no /proc to link from
            errno = error;
            return -1;
        }
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return -1;
    }
    const int fd = ::openat(at, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (!prepare(fd, folder)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Removes the unsound file `judged` at `name`, when the name still leads to
// it.
Step replace(int at, const std::string& name, const struct stat& judged) {
    struct stat now {};
    if (::fstatat(at, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, judged) &&
        ::unlinkat(at, name.c_str(), 0) != 0)
        return failErrno(errno);
    return Step::again;
}

// One try at the lock: `fd` is the locked file when held.
Step tryLock(int at, const std::string& name, const struct stat& folder, int& fd) {
    fd = ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = createLockFile(at, name, folder);
        if (fd < 0 && errno == EEXIST)
            return Step::again; // made by another run just now: that one is opened
        // No file to wait for, and none this user may make: waiting would
        // only end in a holder's message for what is a lack of rights.
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
            return failErrno(errno);
    }
    if (fd < 0) {
        // A link at the name (ELOOP), or a file this user may not open: a
        // sound one may be held by root or the folder's owner, so it is
        // waited for; anything else is replaced.
        const int error = errno;
        struct stat there {};
        if (error != ELOOP && error != EACCES)
            return failErrno(error);
        if (::fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
            return Step::again;
        return isSound(there, folder) ? Step::busy : replace(at, name, there);
    }
    struct stat opened {};
    Step step = Step::busy;
    if (::fstat(fd, &opened) != 0) {
        step = failErrno(errno);
    } else if (!isSound(opened, folder)) {
        step = replace(at, name, opened);
    } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // The holder before may have replaced the file since it was opened:
        // the lock counts only on the file the name leads to.
        struct stat there {};
        if (::fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, opened))
            return Step::held;
        step = Step::again;
    } else if (errno != EWOULDBLOCK) {
        step = failErrno(errno);
    }
    ::close(fd);
    fd = -1;
    return step;
}

} // namespace

UpdateLock::~UpdateLock() {
    if (!file_.isOpen())
        return;
    // Removed while still locked, and only while the name leads to it: a run
    // that opened it meanwhile finds its name gone once it has the lock, and
    // makes the file anew.
    const int at = folder_->handle();
    struct stat held {};
    struct stat there {};
    if (::fstat(file_.native(), &held) == 0 && ::fstatat(at, name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(held, there))
        ::unlinkat(at, name_.c_str(), 0);
}

UpdateLock::Result UpdateLock::take(const FileUtils::HeldFolder& folder, const std::string& name,
                                    unsigned long waitMs) {
    const int at = folder.handle();
    struct stat folderStat {};
    if (at < 0 || ::fstat(at, &folderStat) != 0) {
        failErrno(at < 0 ? EBADF : errno);
        return Result::failed;
    }
    const std::string lockName = fileName(name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int fd = -1;
        const Step step = tryLock(at, lockName, folderStat, fd);
        if (step == Step::held) {
            folder_ = &folder;
            name_ = lockName;
            file_ = Platform::File(fd);
            return Result::held;
        }
        if (step == Step::failed)
            return Result::failed;
        // Replacing and making are tried again at once, waiting on a holder
        // after a pause; the wait bounds both.
        if (std::chrono::steady_clock::now() >= deadline)
            return Result::busy;
        if (step == Step::busy)
            std::this_thread::sleep_for(kPoll);
    }
}
