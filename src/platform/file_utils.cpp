#include "platform/file_utils.h"

#include "platform/error_code.h"
#include "platform/win32.h" // the separator

#include <algorithm>

namespace FileUtils {

void throwLastError(std::initializer_list<const char*> pieces) {
    // Building the text allocates; keep the failing call's code intact.
    const Platform::ErrorCode code = Platform::lastError();
    std::string text;
    for (const char* piece : pieces)
        text += piece;
    Platform::setLastError(code);
    throw IOException(text);
}

IOException::IOException(const std::string& text)
    : message(text + " GetLastError returned: " + std::to_string(static_cast<unsigned long>(Platform::lastError()))) {}

const char* IOException::what() const noexcept { return message.c_str(); }

bool fileExists(const char* path) { return lookAt(path).exists; }

bool directoryExists(const char* path) { return lookAt(path).folder; }

void createDirectory(const char* path) {
    if (!makeFolder(path))
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
