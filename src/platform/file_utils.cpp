#include "platform/file_utils.h"

#include "platform/win32.h"

#include <algorithm>

namespace FileUtils {

void throwLastError(std::initializer_list<const char*> pieces) {
    // Building the text allocates; keep the failing call's code intact.
    const DWORD code = GetLastError();
    std::string text;
    for (const char* piece : pieces)
        text += piece;
    SetLastError(code);
    throw IOException(text);
}

IOException::IOException(const std::string& text)
    : message(text + " GetLastError returned: " + std::to_string(static_cast<unsigned long>(GetLastError()))) {}

const char* IOException::what() const noexcept { return message.c_str(); }

bool fileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool directoryExists(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void createDirectory(const char* path) {
    if (!CreateDirectoryA(path, nullptr))
        throwLastError({"Unable to create directory ", path});
}

std::string toForwardSlashes(const std::string& path) {
    std::string result = path;
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

FolderAndName splitAtLastSeparator(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    if (cut == std::string::npos)
        return {".", path};
    return {cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1)};
}

std::string toBackslashes(const std::string& path) {
    std::string result = path;
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

std::string toSystemSeparators(const std::string& path) {
    std::string result = path;
    std::replace(result.begin(), result.end(), '/', kPathSeparator);
    return result;
}

} // namespace FileUtils
