#include "platform/log_file.h"

#include "platform/win32.h" // the error codes

#include <cstdint>

namespace Platform {

bool holdLogFolder(const std::string& root, const char* name, FileUtils::HeldFolder& folder) {
    // The per-user folder is the user's to place: links on its way are followed.
    FileUtils::HeldFolder parent;
    if (!parent.open(root)) {
        // A missing or non-folder parent reads as a missing folder on the way.
        const ErrorCode code = lastError();
        setLastError(code == ERROR_FILE_NOT_FOUND || code == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : code);
        return false;
    }
    if (folder.open(parent, name, true))
        return true;
    // A file at the name reads as the name being taken.
    if (lastError() == ERROR_DIRECTORY)
        setLastError(ERROR_ALREADY_EXISTS);
    return false;
}

bool LogFile::endsMidLine() {
    std::uint64_t size = 0;
    char octet = '\n';
    std::size_t got = 0;
    return owned_.size(size) && size > 0 && owned_.readAt(size - 1, &octet, 1, got) && got == 1 && octet != '\n';
}

} // namespace Platform
