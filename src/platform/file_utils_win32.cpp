// The path primitives of FileUtils, on Windows.
#include "platform/file_utils.h"

#include "platform/win32.h"

namespace FileUtils {

PathLook lookAt(const char* path) {
    PathLook look;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return look;
    look.exists = true;
    look.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    look.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return look;
}

bool makeFolder(const char* path) { return CreateDirectoryA(path, nullptr) != FALSE; }

std::string temporaryFolder() {
    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length >= sizeof temp)
        return std::string();
    return std::string(temp, length);
}

bool deleteAtRestart(const char* path) { return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE; }

bool systemRandom(void* buffer, std::size_t size) { return RtlGenRandom(buffer, static_cast<ULONG>(size)) != FALSE; }

} // namespace FileUtils
