// The path primitives of FileUtils, natively.
#include "platform/file_utils.h"

#include "platform/error_code.h"

#include <cerrno>
#include <cstdlib>
#include <sys/random.h>
#include <sys/stat.h>

namespace FileUtils {

PathLook lookAt(const char* path) {
    PathLook look;
    struct stat st {};
    if (path == nullptr || *path == '\0' || ::lstat(path, &st) != 0) {
        Platform::setLastError(Platform::errorFromErrno(path != nullptr && *path != '\0' ? errno : ENOENT, path));
        return look;
    }
    look.exists = true;
    look.link = S_ISLNK(st.st_mode);
    struct stat target {};
    look.folder = S_ISDIR(st.st_mode) || (look.link && ::stat(path, &target) == 0 && S_ISDIR(target.st_mode));
    return look;
}

bool makeFolder(const char* path) {
    if (::mkdir(path, 0777) == 0)
        return true;
    Platform::setLastError(Platform::errorFromErrno(errno, path));
    return false;
}

std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (folder.back() != '/')
        folder += '/';
    return folder;
}

bool deleteAtRestart(const char*) { return true; }

bool systemRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = ::getrandom(bytes, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace FileUtils
