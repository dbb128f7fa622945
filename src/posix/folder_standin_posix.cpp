// POSIX implementation of the Win32 folder listing (FindFirstFileA and its
// companions) and of the free-space query of a volume.
#include "posix/win32_standin.h"

#include "posix/standin_handle.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <string>
#include <sys/statvfs.h>

namespace {

struct FindObject : StandinObject {
    FindObject(DIR* opened, std::string where, std::string what)
        : folder(opened), path(std::move(where)), pattern(std::move(what)) {}
    ~FindObject() override { ::closedir(folder); }
    FindObject(const FindObject&) = delete;
    FindObject& operator=(const FindObject&) = delete;
    DIR* const folder;
    const std::string path; // the folder, ending in '/'
    const std::string pattern;
};

// The next name matching the pattern, or false at the end of the folder.
bool nextMatch(FindObject& find, WIN32_FIND_DATAA* data) {
    while (const dirent* entry = ::readdir(find.folder)) {
        const std::size_t length = std::strlen(entry->d_name);
        if (length >= sizeof data->cFileName || ::fnmatch(find.pattern.c_str(), entry->d_name, FNM_CASEFOLD) != 0)
            continue;
        *data = WIN32_FIND_DATAA{};
        std::memcpy(data->cFileName, entry->d_name, length + 1);
        data->dwFileAttributes = GetFileAttributesA((find.path + entry->d_name).c_str());
        return true;
    }
    return false;
}

} // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    if (pattern == nullptr || data == nullptr || *pattern == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string text(pattern);
    const std::size_t slash = text.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "./" : text.substr(0, slash + 1);
    DIR* opened = ::opendir(folder.c_str());
    if (opened == nullptr) {
        // Windows names a missing folder on the way 3, whatever the cause.
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : win32ErrorFromErrno(errno, nullptr));
        return INVALID_HANDLE_VALUE;
    }
    auto* find = new FindObject(opened, folder, text.substr(slash == std::string::npos ? 0 : slash + 1));
    if (!nextMatch(*find, data)) {
        delete find;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return toHandle(find);
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    FindObject* object = find != nullptr && find != INVALID_HANDLE_VALUE ? fromHandle<FindObject>(find) : nullptr;
    if (object == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nextMatch(*object, data))
        return TRUE;
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

BOOL FindClose(HANDLE find) {
    if (find == nullptr || find == INVALID_HANDLE_VALUE || fromHandle<FindObject>(find) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(find);
}

BOOL GetDiskFreeSpaceExA(LPCSTR directory, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
    struct statvfs volume {};
    if (directory == nullptr || ::statvfs(directory, &volume) != 0) {
        SetLastError(directory == nullptr ? ERROR_PATH_NOT_FOUND : win32ErrorFromErrno(errno, directory));
        return FALSE;
    }
    const ULONGLONG unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
    if (freeToCaller != nullptr)
        freeToCaller->QuadPart = static_cast<ULONGLONG>(volume.f_bavail) * unit;
    if (total != nullptr)
        total->QuadPart = static_cast<ULONGLONG>(volume.f_blocks) * unit;
    if (totalFree != nullptr)
        totalFree->QuadPart = static_cast<ULONGLONG>(volume.f_bfree) * unit;
    return TRUE;
}
