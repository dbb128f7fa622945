// Windows: every level is held open without delete sharing, so that nobody
// can rename, replace or delete it while it is held; the names below it are
// then reached by their full path, which leads through the held levels.
#include "platform/held_folder.h"

#include "platform/new_file.h"

#include <cstddef>
#include <memory>

namespace FileUtils {

namespace {

// Reading and listing, never deleting: a held level stays where it is.
constexpr DWORD heldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool isLevelName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

bool failWith(DWORD code) {
    SetLastError(code);
    return false;
}

// The folder just opened as `handle` is a real folder, not a link.
bool isPlainFolder(HANDLE handle, bool reparseAllowed) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return false;
    if (!reparseAllowed && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return failWith(ERROR_CANT_RESOLVE_FILENAME);
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return failWith(ERROR_DIRECTORY);
    return true;
}

} // namespace

bool HeldFolder::open(const std::string& path) {
    close();
    const HANDLE folder = CreateFileA(path.c_str(), GENERIC_READ, heldSharing, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    if (!isPlainFolder(folder, true)) {
        const DWORD code = GetLastError();
        CloseHandle(folder);
        return failWith(code);
    }
    handle_ = folder;
    path_ = path;
    return true;
}

bool HeldFolder::open(const HeldFolder& parent, const std::string& name, bool create, bool* made) {
    if (made != nullptr)
        *made = false;
    if (!parent.isOpen() || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    const std::string path = parent.path_ + "/" + name;
    // A link planted at the name makes the creation fail, never its target.
    if (create && CreateDirectoryA(path.c_str(), nullptr) && made != nullptr)
        *made = true;
    else if (create && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    const HANDLE folder = CreateFileA(path.c_str(), GENERIC_READ, heldSharing, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        // A file opened as a folder: say what stands there.
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return failWith((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ERROR_CANT_RESOLVE_FILENAME
                                                                             : ERROR_DIRECTORY);
        return false;
    }
    // Wine follows a Unix link even when asked not to, but shows it by name
    // as a reparse point.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !isPlainFolder(folder, false)) {
        const DWORD code = attributes == INVALID_FILE_ATTRIBUTES              ? GetLastError()
                           : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ERROR_CANT_RESOLVE_FILENAME
                                                                              : GetLastError();
        CloseHandle(folder);
        return failWith(code);
    }
    close();
    handle_ = folder;
    path_ = path;
    return true;
}

HANDLE HeldFolder::createFile(const std::string& name, unsigned) const {
    if (!isOpen() || !isLevelName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA((path_ + "/" + name).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

HANDLE HeldFolder::openFile(const std::string& name, DWORD access, DWORD share, DWORD flags) const {
    if (!isOpen() || !isLevelName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA((path_ + "/" + name).c_str(), access, share, nullptr, OPEN_EXISTING,
                       flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool HeldFolder::rename(const std::string& from, const std::string& to, bool replaceExisting) const {
    if (!isOpen() || !isLevelName(from) || !isLevelName(to))
        return failWith(ERROR_INVALID_NAME);
    return MoveFileExA((path_ + "/" + from).c_str(), (path_ + "/" + to).c_str(),
                       replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0u) != FALSE;
}

bool HeldFolder::replaceWithOwn(const std::string& from, const std::string& to) const { return rename(from, to, true); }

bool HeldFolder::remove(const std::string& name) const {
    if (!isOpen() || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    const std::string path = path_ + "/" + name;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // Wine deletes the target of a Unix link given to DeleteFileA, and shows
    // a link to a file as a plain file: an empty file of our own is renamed
    // over the name first, which replaces a link itself, and is deleted. A
    // name that cannot be replaced so (a folder, a file in use) is left to
    // DeleteFileA, which gives the system's own answer for it.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            const std::string own = ".vantrell-" + randomHex(16) + ".tmp";
            const HANDLE empty = createFile(own);
            if (empty == INVALID_HANDLE_VALUE)
                continue;
            CloseHandle(empty);
            if (!replaceWithOwn(own, name))
                DeleteFileA((path_ + "/" + own).c_str());
            break;
        }
    }
    return DeleteFileA(path.c_str()) != FALSE;
}

} // namespace FileUtils

namespace FileUtils {

bool HeldFolder::removeFolder(const std::string& name) const {
    if (!isOpen() || name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        return failWith(ERROR_INVALID_NAME);
    return RemoveDirectoryA((path_ + "/" + name).c_str()) != FALSE;
}

bool HeldFolder::holdsFile(const std::string& name, HANDLE file) const {
    if (!isOpen() || name.empty() || name.find_first_of("/\\") != std::string::npos)
        return failWith(ERROR_INVALID_NAME);
    // Looking only: no access asked for, every sharing allowed.
    const HANDLE there = CreateFileA((path_ + "/" + name).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (there == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool known = GetFileInformationByHandle(there, &a) && GetFileInformationByHandle(file, &b);
    const DWORD code = GetLastError();
    CloseHandle(there);
    if (!known)
        return failWith(code);
    // Both are in this folder's volume; Wine reports no volume for a handle
    // opened for writing only, so the file index alone is compared.
    if (a.nFileIndexHigh != b.nFileIndexHigh || a.nFileIndexLow != b.nFileIndexLow ||
        (a.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return failWith(ERROR_SHARING_VIOLATION);
    return true;
}

} // namespace FileUtils

namespace FileUtils {

FolderAndName heldFolderAndName(const std::string& path) {
    // "Z:name" is the name in the current folder of drive Z, not a folder "."
    // holding "Z:name".
    const bool driveRelative = path.size() > 2 && path[1] == ':' && path[2] != '/' && path[2] != '\\';
    if (driveRelative) {
        char full[MAX_PATH + 1] = {};
        const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
        if (length > 0 && length < sizeof full)
            return splitAtLastSeparator(std::string(full, length));
    }
    return splitAtLastSeparator(path);
}

bool HeldFolder::list(std::vector<FolderEntry>& entries) const {
    entries.clear();
    if (!isOpen())
        return failWith(ERROR_INVALID_HANDLE);
    // The held handle itself is asked, never the folder's path: a folder
    // swapped in at that path since is not what is read.
    constexpr DWORD kBuffer = 64 * 1024;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBuffer]);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle_, kind, buffer.get(), kBuffer)) {
            const DWORD code = GetLastError();
            // Only "no more" ends a listing; any other answer cuts it short.
            return code == ERROR_NO_MORE_FILES || (code == ERROR_FILE_NOT_FOUND && entries.empty()) || failWith(code);
        }
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + at);
            const int wide = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
            const int size = WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, nullptr, 0, nullptr, nullptr);
            std::string name(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
            if (size > 0)
                WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, &name[0], size, nullptr, nullptr);
            if (!name.empty() && name != "." && name != "..") {
                const DWORD attributes = info->FileAttributes;
                entries.push_back({name, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::Link
                                         : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? EntryKind::Folder
                                                                                          : EntryKind::File});
            }
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
}

} // namespace FileUtils
