// Natively every level is a descriptor, and each name below it is reached
// with the *at calls relative to it, never following a link: whatever is
// renamed or swapped on the way, the work lands in the folder that was held.
#include "platform/held_folder.h"

#include "platform/error_code.h"
#include "platform/system_calls_posix.h"
#include "platform/win32.h" // the error codes

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace FileUtils {

namespace {

bool isLevelName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

bool failWith(Platform::ErrorCode code) {
    Platform::setLastError(code);
    return false;
}

bool failErrno(int error) { return failWith(Platform::errorFromErrno(error)); }

Platform::File noFile(Platform::ErrorCode code) {
    Platform::setLastError(code);
    return Platform::File();
}

// A folder, or a read-only file (5), is not deleted or replaced as a file:
// the owner's write permission is what marks a file installed read-only,
// and the next update must not silently drop it.
bool mayReplace(int folder, const char* name) {
    struct stat st {};
    if (Platform::systemCalls.fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true; // nothing there, or the call itself reports why
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0))
        return failErrno(EACCES);
    return true;
}

bool renameIn(int folder, const std::string& from, const std::string& to) {
    // Most names are new: only a name that is taken is looked at.
    if (Platform::systemCalls.renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EEXIST && errno != EINVAL)
        return failErrno(errno);
    if (!mayReplace(folder, to.c_str()))
        return false;
    if (Platform::systemCalls.renameat2(folder, from.c_str(), folder, to.c_str(), 0) != 0)
        return failErrno(errno);
    return true;
}

} // namespace

bool HeldFolder::open(const std::string& path) {
    close();
    const int fd = Platform::systemCalls.openat(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return failWith(errno == ENOTDIR ? ERROR_DIRECTORY : Platform::errorFromErrno(errno, path.c_str()));
    handle_ = fd;
    path_ = path;
    return true;
}

bool HeldFolder::open(const HeldFolder& parent, const std::string& name, bool create, bool* made) {
    if (made != nullptr)
        *made = false;
    const int at = parent.handle_;
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    // A folder that is there is only opened; a missing one is made first
    // (mkdirat never follows a link at the name: it fails there instead).
    constexpr int asFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = Platform::systemCalls.openat(at, name.c_str(), asFolder, 0);
    if (fd < 0 && errno == ENOENT && create) {
        if (Platform::systemCalls.mkdirat(at, name.c_str(), 0777) == 0) {
            if (made != nullptr)
                *made = true;
        } else if (errno != EEXIST) {
            return failErrno(errno);
        }
        fd = Platform::systemCalls.openat(at, name.c_str(), asFolder, 0);
    }
    if (fd < 0) {
        // Not a folder there when opened: a link (ELOOP), or something else
        // that is either still there, or was a link swapped away since.
        const int error = errno;
        struct stat st {};
        if (error == ENOTDIR && Platform::systemCalls.fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode))
            return failWith(ERROR_DIRECTORY);
        return error == ELOOP || error == ENOTDIR ? failWith(ERROR_CANT_RESOLVE_FILENAME) : failErrno(error);
    }
    std::string path = parent.path_ + "/" + name;
    close();
    handle_ = fd;
    path_ = std::move(path);
    return true;
}

Platform::File HeldFolder::createFile(const std::string& name, unsigned mode) const {
    if (handle_ < 0 || !isLevelName(name))
        return noFile(ERROR_INVALID_NAME);
    const int fd = Platform::systemCalls.openat(handle_, name.c_str(),
                                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                                static_cast<mode_t>(mode & 0777));
    if (fd < 0)
        return noFile(errno == EEXIST || errno == ELOOP ? ERROR_FILE_EXISTS : Platform::errorFromErrno(errno));
    return Platform::File(fd);
}

Platform::File HeldFolder::openFile(const std::string& name, OpenFor use) const {
    if (handle_ < 0 || !isLevelName(name))
        return noFile(ERROR_INVALID_NAME);
    // Only the owner and mode are looked at through a path descriptor: no
    // read permission is needed, and nothing is opened as a file.
    int flags = O_NOFOLLOW | O_CLOEXEC;
    if (use == OpenFor::Attributes)
        flags |= O_PATH;
    else
        flags |= (use == OpenFor::Writing ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY;
    Platform::File file(Platform::systemCalls.openat(handle_, name.c_str(), flags, 0));
    if (!file.isOpen())
        // A FIFO without a reader, or a socket.
        return noFile(errno == ENXIO ? ERROR_CANT_ACCESS_FILE : Platform::errorFromErrno(errno));
    // A FIFO would have blocked the open without O_NONBLOCK, and a device may
    // act on being read: neither is a file here. O_NONBLOCK stays: it does
    // nothing to a regular file.
    struct stat st {};
    if (Platform::systemCalls.fstat(file.native(), &st) != 0)
        return noFile(Platform::errorFromErrno(errno));
    if (S_ISDIR(st.st_mode))
        return noFile(ERROR_ACCESS_DENIED);
    if (S_ISLNK(st.st_mode))
        return noFile(Platform::errorFromErrno(ELOOP));
    if (!S_ISREG(st.st_mode))
        return noFile(ERROR_CANT_ACCESS_FILE);
    // Readers that keep others from writing take a shared lock, as writers
    // take an exclusive one: advisory, so it keeps out only the programs that
    // ask for it too, and a holder is waited for as on Windows.
    const int lock =
        use == OpenFor::Writing                                                                              ? LOCK_EX
        : use == OpenFor::ReadingUnwritten || use == OpenFor::ReadingHeld || use == OpenFor::ReadingToRemove ? LOCK_SH
                                                                                                             : 0;
    if (lock != 0 && Platform::systemCalls.flock(file.native(), lock | LOCK_NB) != 0)
        return noFile(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : Platform::errorFromErrno(errno));
    return file;
}

bool HeldFolder::rename(const std::string& from, const std::string& to, bool replaceExisting) const {
    const int at = handle_;
    if (at < 0 || !isLevelName(from) || !isLevelName(to))
        return failWith(ERROR_INVALID_NAME);
    if (replaceExisting)
        return renameIn(at, from, to);
    if (Platform::systemCalls.renameat2(at, from.c_str(), at, to.c_str(), RENAME_NOREPLACE) != 0)
        return failWith(errno == EEXIST ? ERROR_ALREADY_EXISTS : Platform::errorFromErrno(errno));
    return true;
}

bool HeldFolder::replaceWithOwn(const std::string& from, const std::string& to) const {
    const int at = handle_;
    if (at < 0 || !isLevelName(from) || !isLevelName(to))
        return failWith(ERROR_INVALID_NAME);
    return renameIn(at, from, to);
}

bool HeldFolder::remove(const std::string& name) const {
    const int at = handle_;
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    if (!mayReplace(at, name.c_str()))
        return false;
    if (Platform::systemCalls.unlinkat(at, name.c_str(), 0) != 0)
        return failErrno(errno);
    return true;
}

} // namespace FileUtils

namespace FileUtils {

bool HeldFolder::removeFolder(const std::string& name) const {
    const int at = handle_;
    if (at < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    if (Platform::systemCalls.unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0)
        return errno == ENOTDIR ? failWith(ERROR_DIRECTORY) : failErrno(errno);
    return true;
}

bool HeldFolder::isLink(const std::string& name) const {
    const int at = handle_;
    struct stat there {};
    return at >= 0 && isLevelName(name) &&
           Platform::systemCalls.fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(there.st_mode);
}

bool HeldFolder::holdsFile(const std::string& name, const Platform::File& file) const {
    const int at = handle_;
    const int fd = file.native();
    if (at < 0 || fd < 0 || !isLevelName(name))
        return failWith(ERROR_INVALID_NAME);
    struct stat there {};
    struct stat held {};
    if (Platform::systemCalls.fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        Platform::systemCalls.fstat(fd, &held) != 0)
        return failErrno(errno);
    if (there.st_dev != held.st_dev || there.st_ino != held.st_ino)
        return failWith(ERROR_SHARING_VIOLATION);
    return true;
}

} // namespace FileUtils

namespace FileUtils {

FolderAndName heldFolderAndName(const std::string& path) { return splitAtLastSeparator(path); }

// Natively a descriptor does not know its name: the name is checked right
// before it is changed, relative to the held folder, so a name swapped in
// between is one in this same folder.
bool HeldFolder::freeSpace(std::uint64_t& bytes) const {
    struct statvfs volume {};
    if (::fstatvfs(handle_, &volume) != 0)
        return failErrno(errno);
    bytes = static_cast<std::uint64_t>(volume.f_bavail) * (volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize);
    return true;
}

bool HeldFolder::removeOpen(const std::string& name, const Platform::File& file) const {
    if (!holdsFile(name, file) || !mayReplace(handle_, name.c_str()))
        return false;
    return Platform::systemCalls.unlinkat(handle_, name.c_str(), 0) == 0 || failErrno(errno);
}

bool HeldFolder::moveOpenTo(const std::string& name, const Platform::File& file, const std::string& target) const {
    if (!holdsFile(name, file))
        return false;
    if (Platform::systemCalls.renameat2(handle_, name.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    return failWith(errno == EEXIST ? ERROR_ALREADY_EXISTS : Platform::errorFromErrno(errno, target.c_str()));
}

bool HeldFolder::list(std::vector<FolderEntry>& entries) const {
    entries.clear();
    const int at = handle_;
    if (at < 0)
        return failWith(ERROR_INVALID_HANDLE);
    // A descriptor of its own for the listing, opened through the held one:
    // the held folder itself is read, whatever its path leads to now.
    const int fd = Platform::systemCalls.openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return failErrno(errno);
    DIR* const dir = Platform::systemCalls.fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        Platform::systemCalls.close(fd);
        return failErrno(error);
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = Platform::systemCalls.readdir(dir);
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
            if (Platform::systemCalls.fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
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
    Platform::systemCalls.closedir(dir);
    return error == 0 || failErrno(error);
}

} // namespace FileUtils
