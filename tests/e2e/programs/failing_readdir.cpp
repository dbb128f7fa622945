// Test library, preloaded into the native helper: reading the folder whose
// path ends in $FAIL_READDIR_IN fails with EIO after $FAIL_READDIR_AFTER
// entries (0 when unset), as a failing disk or a network share answers. Every
// other folder is read as usual.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

bool failsHere(DIR* dir) {
    const char* suffix = std::getenv("FAIL_READDIR_IN");
    if (suffix == nullptr || *suffix == '\0')
        return false;
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(::dirfd(dir));
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path - 1);
    if (length <= 0)
        return false;
    const std::string folder(path, static_cast<std::size_t>(length));
    const std::string tail = std::string("/") + suffix;
    return folder.size() >= tail.size() && folder.compare(folder.size() - tail.size(), tail.size(), tail) == 0;
}

// Entries handed out per folder before the failure; one folder at a time is
// enough for the tests.
DIR* counted = nullptr;
long handedOut = 0;

template <typename Entry> Entry* next(DIR* dir, const char* symbol) {
    using Real = Entry* (*)(DIR*);
    static Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, symbol));
    if (failsHere(dir)) {
        if (counted != dir) {
            counted = dir;
            handedOut = 0;
        }
        const char* after = std::getenv("FAIL_READDIR_AFTER");
        if (handedOut >= (after != nullptr ? std::atol(after) : 0)) {
            errno = EIO;
            return nullptr;
        }
        ++handedOut;
    }
    return real(dir);
}

} // namespace

extern "C" dirent* readdir(DIR* dir) { return next<dirent>(dir, "readdir"); }
extern "C" dirent64* readdir64(DIR* dir) { return next<dirent64>(dir, "readdir64"); }
