#include "platform/file_utils.h"

#include "platform/error_code.h"
#include "platform/win32.h" // the error codes

#include <cstring>

namespace FileUtils {

namespace {

// Makes the level unless it is there. Another process may make it between
// our test and our call: a folder found there then is as good as our own.
void makeLevel(const std::string& level, bool& made) {
    made = false;
    if (!lookAt(level.c_str()).exists) {
        if (makeFolder(level.c_str())) {
            made = true;
            return;
        }
        if (Platform::lastError() != ERROR_ALREADY_EXISTS)
            throwLastError({"Unable to create directory ", level.c_str()});
        if (!lookAt(level.c_str()).folder) {
            Platform::setLastError(ERROR_ALREADY_EXISTS);
            throwLastError({"Unable to create directory ", level.c_str()});
        }
    }
}

} // namespace

void createDirectories(const char* path, std::size_t existingLength) {
    // Each prefix ending before a '/', and the whole path, is one level. The
    // prefix is the path itself cut short, so "C:" and a leading empty
    // component come out as written, and "C:" is merely found to exist.
    const std::size_t length = std::strlen(path);
    std::string prefix;
    prefix.reserve(length);
    std::size_t start = 0;
    if (existingLength > 0 && existingLength < length && path[existingLength] == '/') {
        // Doubled separators after the known folder still name that folder.
        start = existingLength + 1;
        while (start < length && path[start] == '/')
            ++start;
    }
    bool madeLevelBefore = false;
    for (;;) {
        const char* slash = static_cast<const char*>(std::memchr(path + start, '/', length - start));
        const std::size_t end = slash != nullptr ? static_cast<std::size_t>(slash - path) : length;
        prefix.assign(path, end);
        // An empty component after a level made just now names that same
        // folder again; one that merely existed may be a file and is tested.
        const bool sameFolderAgain = end == start && madeLevelBefore;
        madeLevelBefore = false;
        if (!prefix.empty() && !sameFolderAgain)
            makeLevel(prefix, madeLevelBefore);
        if (slash == nullptr)
            return;
        start = end + 1;
    }
}

} // namespace FileUtils
