#include "platform/system_calls_posix.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Platform {

namespace {
const SystemCalls real = {
    [](int dir, const char* name, int flags, mode_t mode) { return ::openat(dir, name, flags, mode); },
    ::mkdirat,
    // flags 0 is a plain rename, taken where renameat2 is refused (EINVAL)
    [](int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
        return flags == 0 ? ::renameat(fromDir, from, toDir, to) : ::renameat2(fromDir, from, toDir, to, flags);
    },
    ::unlinkat,
    ::read,
    ::pread,
    ::write,
    ::fsync,
    [](int fd, struct stat* st) { return ::fstat(fd, st); },
    [](int dir, const char* name, struct stat* st, int flags) { return ::fstatat(dir, name, st, flags); },
    ::futimens,
    ::flock,
    ::fchown,
    ::fchmod,
    ::close,
    ::fdopendir,
    ::readdir,
    ::closedir,
};
} // namespace

SystemCalls systemCalls = real;

const SystemCalls& realSystemCalls() { return real; }

} // namespace Platform
