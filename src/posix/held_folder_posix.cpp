// Natively every level is a descriptor, and each name below it is reached
// with the *at calls relative to it, never following a link: whatever is
// renamed or swapped on the way, the work lands in the folder that was held.
#include "platform/held_folder.h"

#include "posix/standin_handle.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileUtils {

namespace {

bool isLevelName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

bool failWith(DWORD code) {
    SetLastError(code);
    return false;
}

bool failErrno(int error) { return failWith(win32ErrorFromErrno(error, nullptr)); }

// The same refusals MoveFileExA and DeleteFileA of the stand-in make, for a
// name in a held folder: a folder, or a read-only file (5), is not deleted
// or replaced as a file, and an open file is not replaced (5).
bool mayReplace(int folder, const char* name, bool evenIfOpen) {
    struct stat st {};
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true; // nothing there, or the call itself reports why
    if (S_ISDIR(st.st_mode))
        return failErrno(EACCES);
    if (S_ISREG(st.st_mode) && ((st.st_mode & S_IWUSR) == 0 || (!evenIfOpen && heldOpenAt(folder, name))))
        return failErrno(EACCES);
    return true;
}

bool renameIn(int folder, const std::string& from, const std::string& to) {
    // Most names are new: only a name that is taken is looked at.
    if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EEXIST && errno != EINVAL)
        return failErrno(errno);
    if (!mayReplace(folder, to.c_str(), false))
        return false;
    if (::renameat(folder, from.c_str(), folder, to.c_str()) != 0)
        return failErrno(errno);
    return true;
}

} // namespace

bool HeldFolder::open(const std::string& path) {
    close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failWith(errno == ENOTDIR ? ERROR_DIRECTORY : win32ErrorFromErrno(errno, path.c_str()));
    const HANDLE folder = handleOfDescriptor(fd);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    handle_ = folder;
    path_ = path;
    return true;
}

bool HeldFolder::open(const HeldFolder& parent, const std::string& name, bool create, bool* made) {
    if (made != nullptr)
        *made = false;
    const int at = descriptorOf(parent.handle_);
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    // A folder that is there is only opened; a missing one is made first
    // (mkdirat never follows a link at the name: it fails there instead).
    constexpr int asFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(at, name.c_str(), asFolder);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(at, name.c_str(), 0777) == 0) {
            if (made != nullptr)
                *made = true;
        } else if (errno != EEXIST) {
            return failErrno(errno);
        }
        fd = ::openat(at, name.c_str(), asFolder);
    }
    if (fd < 0) {
        // Not a folder there when opened: a link (ELOOP), or something else
        // that is either still there, or was a link swapped away since.
        const int error = errno;
        struct stat st {};
        if (error == ENOTDIR && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode) &&
            !S_ISDIR(st.st_mode))
            return failWith(ERROR_DIRECTORY);
        return error == ELOOP || error == ENOTDIR ? failWith(ERROR_CANT_RESOLVE_FILENAME) : failErrno(error);
    }
    const HANDLE folder = handleOfDescriptor(fd);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    std::string path = parent.path_ + "/" + name;
    close();
    handle_ = folder;
    path_ = std::move(path);
    return true;
}

HANDLE HeldFolder::createFile(const std::string& name, unsigned mode) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                            static_cast<mode_t>(mode & 0777));
    if (fd < 0) {
        SetLastError(errno == EEXIST || errno == ELOOP ? ERROR_FILE_EXISTS : win32ErrorFromErrno(errno, nullptr));
        return INVALID_HANDLE_VALUE;
    }
    // A writer's handle keeps other writers of the stand-in out, as
    // CreateFileA's does. The handle shares deleting, and a new name is open
    // nowhere else, so no other lock of CreateFileA's is needed.
    ::flock(fd, LOCK_EX | LOCK_NB);
    return handleOfDescriptor(fd);
}

HANDLE HeldFolder::openFile(const std::string& name, DWORD access, DWORD share, DWORD flags) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    // The kernel's name of the held descriptor leads to the held folder
    // whatever has been renamed since; CreateFileA keeps its sharing rules.
    const std::string path = "/proc/self/fd/" + std::to_string(at) + "/" + name;
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

bool HeldFolder::rename(const std::string& from, const std::string& to, bool replaceExisting) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(from) || !isLevelName(to))
        return failWith(ERROR_INVALID_NAME);
    if (heldWithoutDeleteSharingAt(at, from.c_str()))
        return failWith(ERROR_SHARING_VIOLATION);
    if (replaceExisting)
        return renameIn(at, from, to);
    if (::renameat2(at, from.c_str(), at, to.c_str(), RENAME_NOREPLACE) != 0)
        return failWith(errno == EEXIST ? ERROR_ALREADY_EXISTS : win32ErrorFromErrno(errno, nullptr));
    return true;
}

bool HeldFolder::replaceWithOwn(const std::string& from, const std::string& to) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(from) || !isLevelName(to))
        return failWith(ERROR_INVALID_NAME);
    return renameIn(at, from, to);
}

bool HeldFolder::remove(const std::string& name) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    if (heldWithoutDeleteSharingAt(at, name.c_str()))
        return failWith(ERROR_SHARING_VIOLATION);
    if (!mayReplace(at, name.c_str(), true))
        return false;
    if (::unlinkat(at, name.c_str(), 0) != 0)
        return failErrno(errno);
    return true;
}

} // namespace FileUtils

namespace FileUtils {

bool HeldFolder::removeFolder(const std::string& name) const {
    const int at = descriptorOf(handle_);
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    if (::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0)
        return errno == ENOTDIR ? failWith(ERROR_DIRECTORY) : failErrno(errno);
    return true;
}

bool HeldFolder::isLink(const std::string& name) const {
    const int at = descriptorOf(handle_);
    struct stat there {};
    return at >= 0 && isLevelName(name) && ::fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(there.st_mode);
}

bool HeldFolder::holdsFile(const std::string& name, HANDLE file) const {
    const int at = descriptorOf(handle_);
    const int fd = descriptorOf(file);
    if (at < 0 || fd < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    struct stat there {};
    struct stat held {};
    if (::fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 || ::fstat(fd, &held) != 0)
        return failErrno(errno);
    if (there.st_dev != held.st_dev || there.st_ino != held.st_ino)
        return failWith(ERROR_SHARING_VIOLATION);
    return true;
}

} // namespace FileUtils

namespace FileUtils {

FolderAndName heldFolderAndName(const std::string& path) { return splitAtLastSeparator(path); }

bool HeldFolder::list(std::vector<FolderEntry>& entries) const {
    entries.clear();
    const int at = descriptorOf(handle_);
    if (at < 0)
        return failWith(ERROR_INVALID_HANDLE);
    // A descriptor of its own for the listing, opened through the held one:
    // the held folder itself is read, whatever its path leads to now.
    const int fd = ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failErrno(errno);
    DIR* const dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return failErrno(error);
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            error = errno; // 0 at the end; anything else cuts the listing short
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue; // gone since it was listed
                error = errno;
                break;
            }
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
        }
        entries.push_back({name, type == DT_DIR   ? EntryKind::Folder
                                 : type == DT_LNK ? EntryKind::Link
                                                  : EntryKind::File});
    }
    ::closedir(dir);
    return error == 0 || failErrno(error);
}

} // namespace FileUtils
