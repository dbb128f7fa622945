#include "system_call_faults.h"

#include "platform/system_calls_posix.h"

#include <cerrno>
#include <fcntl.h>

Fault fault;

namespace {

bool fails(Call call, const char* name = nullptr) {
    if ((fault.calls & 1u << call) == 0 || (!fault.name.empty() && (name == nullptr || fault.name != name)) ||
        ++fault.seen < fault.from)
        return false;
    fault.hit = true;
    errno = fault.error;
    return true;
}

const Platform::SystemCalls& real = Platform::realSystemCalls();

const Platform::SystemCalls faulty = {
    [](int dir, const char* name, int flags, mode_t mode) {
        const Call call = (flags & O_DIRECTORY) != 0 ? OpenFolder : OpenWrite;
        const bool counts = call == OpenFolder || (flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0;
        return counts && fails(call, name) ? -1 : real.openat(dir, name, flags, mode);
    },
    [](int dir, const char* name, mode_t mode) { return fails(Mkdir, name) ? -1 : real.mkdirat(dir, name, mode); },
    [](int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
        return fails(Rename, to) ? -1 : real.renameat2(fromDir, from, toDir, to, flags);
    },
    [](int dir, const char* name, int flags) { return fails(Unlink, name) ? -1 : real.unlinkat(dir, name, flags); },
    real.read,
    real.pread,
    [](int fd, const void* data, std::size_t size) { return fails(Write) ? ssize_t{-1} : real.write(fd, data, size); },
    [](int fd) { return fails(Fsync) ? -1 : real.fsync(fd); },
    real.fstat,
    real.fstatat,
    [](int fd, const struct timespec* times) { return fails(Futimens) ? -1 : real.futimens(fd, times); },
    [](int fd, int operation) { return fails(Flock) ? -1 : real.flock(fd, operation); },
    [](int fd, uid_t owner, gid_t group) { return fails(Fchown) ? -1 : real.fchown(fd, owner, group); },
    [](int fd, mode_t mode) { return fails(Fchmod) ? -1 : real.fchmod(fd, mode); },
    real.close,
    real.fdopendir,
    [](DIR* dir) { return fails(Readdir) ? nullptr : real.readdir(dir); },
    real.closedir,
};

} // namespace

void arm(unsigned calls, int error, int from, const std::string& name) {
    fault = Fault{calls, from, error, name};
    Platform::systemCalls = faulty;
}

void disarm() { Platform::systemCalls = real; }
