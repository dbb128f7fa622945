// Every system call the native files and folders make goes through this one
// table, the real calls unless a test swaps an entry (to fail with a chosen
// errno on the Nth call, or for one name): each entry returns what the
// system call it is named after returns, and sets errno as it does.
#pragma once

#include <cstddef>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace Platform {

struct SystemCalls {
    int (*openat)(int dir, const char* name, int flags, mode_t mode);
    int (*mkdirat)(int dir, const char* name, mode_t mode);
    int (*renameat2)(int fromDir, const char* from, int toDir, const char* to, unsigned int flags);
    int (*unlinkat)(int dir, const char* name, int flags);
    ssize_t (*read)(int fd, void* data, std::size_t size);
    ssize_t (*pread)(int fd, void* data, std::size_t size, off_t offset);
    ssize_t (*write)(int fd, const void* data, std::size_t size);
    int (*fsync)(int fd);
    int (*fstat)(int fd, struct stat* st);
    int (*fstatat)(int dir, const char* name, struct stat* st, int flags);
    int (*futimens)(int fd, const struct timespec* times);
    int (*flock)(int fd, int operation);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*fchmod)(int fd, mode_t mode);
    int (*close)(int fd);
    DIR* (*fdopendir)(int fd);
    dirent* (*readdir)(DIR* dir);
    int (*closedir)(DIR* dir);
};

// The table in use; `realSystemCalls()` is the one it starts as.
extern SystemCalls systemCalls;
const SystemCalls& realSystemCalls();

} // namespace Platform
