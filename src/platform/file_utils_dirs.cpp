#include "platform/file_utils.h"

#include "platform/win32.h"

#include <cstring>

namespace FileUtils {

void createDirectories(const char* path, std::size_t existingLength) {
    // Each prefix ending before a '/', and the whole path, is one level. The
    // prefix is the path itself cut short, so "C:" and a leading empty
    // component come out as written, and "C:" is merely found to exist.
    const std::size_t length = std::strlen(path);
    std::string prefix;
    prefix.reserve(length);
    std::size_t start = 0;
    if (existingLength > 0 && existingLength < length && path[existingLength] == '/')
        start = existingLength + 1;
    bool madeLevelBefore = false;
    for (;;) {
        const char* slash = static_cast<const char*>(std::memchr(path + start, '/', length - start));
        const std::size_t end = slash != nullptr ? static_cast<std::size_t>(slash - path) : length;
        prefix.assign(path, end);
        // An empty component after a level made just now names that same
        // folder again; one that merely existed may be a file and is tested.
        const bool sameFolderAgain = end == start && madeLevelBefore;
        madeLevelBefore = false;
        if (!prefix.empty() && !sameFolderAgain && GetFileAttributesA(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryA(prefix.c_str(), nullptr))
                throwLastError({"Unable to create directory ", prefix.c_str()});
            madeLevelBefore = true;
        }
        if (slash == nullptr)
            return;
        start = end + 1;
    }
}

} // namespace FileUtils
