#include "commands/update/update_source.h"

#include "log/logger.h"
#include "platform/file_utils.h"

#include <cstddef>
#include <vector>

namespace {

bool isLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string lastComponent(const std::string& path) {
    const auto cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace

UpdateSource::~UpdateSource() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

UpdateSource::Opened UpdateSource::open(const std::string& path) {
    path_ = path;
    if (isLink(GetFileAttributesA(path.c_str())))
        return Opened::Link;
    handle_ = CreateFileA(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (isLink(GetFileAttributesA(path.c_str())))
            return Opened::Link;
        SetLastError(code);
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Opened::Missing : Opened::Failed;
    }
    // Wine follows a Unix link even when asked not to; its name still shows
    // it. A link put there after the open leads nowhere this run goes.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle_, &information))
        return Opened::Failed;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || isLink(GetFileAttributesA(path.c_str())))
        return Opened::Link;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return Opened::Failed;
    }
    return Opened::Ok;
}

void UpdateSource::remove() {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, sizeof disposition))
        return;
    const DWORD refusal = GetLastError();
    if (refusal == ERROR_ACCESS_DENIED && park(refusal))
        return;
    Logger::instance()->log(WARN, "Unable to remove file " + path_ +
                                      " GetLastError returned: " + std::to_string(static_cast<unsigned long>(refusal)));
}

bool UpdateSource::park(DWORD refusal) {
    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof temp, temp);
    const std::string name = lastComponent(path_);
    if (length == 0 || length >= sizeof temp || name.empty()) {
        SetLastError(refusal);
        return false;
    }
    std::string folder(temp, length);
    if (folder.back() != '/' && folder.back() != '\\')
        folder += '/';
    const std::string base = FileUtils::toForwardSlashes(folder) + name;
    Logger::instance()->log(WARN, "Unable to remove file " + path_ +
                                      " - it may be in use.  Moving it into the temporary folder and scheduling "
                                      "delete on reboot.");
    for (unsigned long n = 0; n < 100; ++n) {
        const std::string candidate = n == 0 ? base : base + "_" + std::to_string(n);
        // The rename names its target the way the system's own calls do:
        // "\??\" and the full path, in wide characters.
        const std::string target = "\\??\\" + FileUtils::toBackslashes(candidate);
        const int count = MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, nullptr, 0);
        if (count <= 0)
            break;
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + static_cast<std::size_t>(count) * sizeof(WCHAR));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        if (MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, info->FileName, count) != count)
            break;
        info->ReplaceIfExists = FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(count - 1) * sizeof(WCHAR);
        if (SetFileInformationByHandle(handle_, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
            Logger::instance()->log(INFO, "Moved " + path_ + " to " + candidate);
            if (!MoveFileExA(candidate.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
                Logger::instance()->log(WARN, "The system refused to delete " + candidate +
                                                  " at the next restart (that needs administrator rights); "
                                                  "GetLastError returned: " +
                                                  std::to_string(static_cast<unsigned long>(GetLastError())));
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    return false;
}
