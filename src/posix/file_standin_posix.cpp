// POSIX implementation of the Win32 file-handle calls: open, read, write and
// flush, with the share mode kept through advisory locks.
#include "posix/win32_standin.h"

#include "posix/standin_handle.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A handle that denies deleting holds an open-file-description lock on a
// byte far past any real end of file, where the share-mode flock cannot see
// it: a read lock on the first byte for a handle that can read, a write lock
// on the second for one that only writes (two writers never get this far).
// Holders thus never clash with each other; a rename or delete asks whether
// any such lock is held.
constexpr off_t kDenyDeleteByte = off_t(1) << 62;

// Every handle also marks its file as open on the third byte: Windows
// refuses to rename over a file that is open anywhere. A second writer's mark
// may clash with the first's; one mark is all a rename asks about.
constexpr off_t kOpenByte = kDenyDeleteByte + 2;

bool lockByte(int fd, off_t at, bool readable) {
    struct flock lock {};
    lock.l_type = readable ? F_RDLCK : F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool lockAgainstDeleting(int fd, bool readable) {
    return lockByte(fd, readable ? kDenyDeleteByte : kDenyDeleteByte + 1, readable);
}

// Whether any handle holds a lock on [at, at + length) of the regular file
// `name` in the folder `folder` (the name itself, never a link's target).
bool lockedAt(int folder, const char* name, off_t at, off_t length) {
    struct stat st {};
    if (name == nullptr || ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    const int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = at;
    probe.l_len = length;
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// What Windows answers for a file it cannot open as data: its own view of a
// FIFO, socket or device made by the Linux subsystem is a reparse point the
// system cannot access.
HANDLE refuseSpecialFile() {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
}

struct FileObject : StandinObject {
    explicit FileObject(int descriptor, bool owned = true) : fd(descriptor), owns(owned) {}
    ~FileObject() override {
        if (owns)
            ::close(fd);
    }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    const int fd;
    const bool owns;
    // Bytes written through this handle, so that the position is asked for
    // only once a file may have grown large.
    unsigned long long written = 0;
};

HANDLE failOpen(int error, const char* path) {
    SetLastError(win32ErrorFromErrno(error, path));
    return INVALID_HANDLE_VALUE;
}

// The handle of an open descriptor, with `lastError` set as the call's
// outcome. A Win32 call reports running out of memory rather than throwing.
HANDLE handleOf(int fd, DWORD lastError) {
    auto* object = new (std::nothrow) FileObject(fd);
    if (object == nullptr) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(lastError);
    return toHandle(object);
}

BOOL failCall(int error) {
    SetLastError(win32ErrorFromErrno(error, nullptr));
    return FALSE;
}

int lockFor(DWORD access, DWORD shareMode) {
    if ((access & GENERIC_WRITE) || !(shareMode & FILE_SHARE_READ))
        return LOCK_EX;
    if (!(shareMode & FILE_SHARE_WRITE))
        return LOCK_SH;
    return 0;
}

} // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, void*, DWORD disposition, DWORD flagsAndAttributes,
                   HANDLE) {
    if (path == nullptr || *path == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    const bool reads = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    if (reads && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else if (access & FILE_APPEND_DATA)
        flags |= (reads ? O_RDWR : O_WRONLY) | O_APPEND;
    else
        flags |= O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
        break;
    default:
        return failOpen(EINVAL, nullptr);
    }
    if (flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT)
        flags |= O_NOFOLLOW;
    if ((flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) && disposition == OPEN_EXISTING &&
        (flags & O_ACCMODE) == O_RDONLY) {
        // A folder is only looked at through such a handle: no sharing rules
        // apply to it here. Anything else is opened as below.
        const int folder = ::open(path, (flags & (O_CLOEXEC | O_NOFOLLOW)) | O_RDONLY | O_DIRECTORY);
        if (folder >= 0)
            return handleOf(folder, ERROR_SUCCESS);
    }

    struct stat before {};
    // A name made new by this call has nothing to look at beforehand.
    const bool existed = disposition != CREATE_NEW && ::stat(path, &before) == 0;
    // A FIFO would block the open until someone opens its other end, and a
    // device may act on being opened: neither is opened as a file. The open
    // itself does not wait either, should the name change in between.
    if (existed && !S_ISREG(before.st_mode) && !S_ISDIR(before.st_mode) && disposition != CREATE_NEW)
        return refuseSpecialFile();
    const int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0 && (errno == EEXIST || (errno == ELOOP && disposition == CREATE_NEW))) {
        SetLastError(ERROR_FILE_EXISTS); // what CREATE_NEW reports, unlike CreateDirectoryA
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0 && errno == ENXIO) // a FIFO without reader, or a socket
        return refuseSpecialFile();
    if (fd < 0)
        return failOpen(errno, path);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        const int error = errno;
        ::close(fd);
        if (S_ISDIR(opened.st_mode))
            return failOpen(EACCES, path); // Windows opens a folder only with backup semantics
        return opened.st_mode != 0 ? refuseSpecialFile() : failOpen(error, path);
    }
    // O_NONBLOCK stays: it has no effect on a regular file.

    if (const int lock = lockFor(access, shareMode)) {
        if (::flock(fd, lock | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return failOpen(error == EWOULDBLOCK ? EBUSY : error, path);
        }
        // The holder of the lock may have renamed the file away and let go of
        // it between our open and our lock: then this is no longer the file at
        // `path`, and truncating it would damage someone else's file. A file
        // this call made had no holder.
        struct stat now {};
        if (disposition != CREATE_NEW &&
            (::stat(path, &now) != 0 || now.st_ino != opened.st_ino || now.st_dev != opened.st_dev)) {
            ::close(fd);
            return failOpen(EBUSY, path);
        }
    }

    // Asking to delete a file that another handle holds without sharing its
    // deletion is refused, as on Windows.
    if ((access & DELETE) && heldWithoutDeleteSharing(path)) {
        ::close(fd);
        return failOpen(EBUSY, path);
    }
    const bool readable = (flags & O_ACCMODE) != O_WRONLY;
    if (!(shareMode & FILE_SHARE_DELETE))
        lockAgainstDeleting(fd, readable);
    lockByte(fd, kOpenByte, readable);

    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        return failOpen(error, path);
    }
    if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Like Windows, report that an existing file was opened (or overwritten).
    const bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    return handleOf(fd, reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
    const FileObject* object = fromHandle<FileObject>(file);
    struct stat st {};
    if (object == nullptr || information == nullptr)
        return failCall(EBADF);
    if (::fstat(object->fd, &st) != 0)
        return failCall(errno);
    *information = BY_HANDLE_FILE_INFORMATION{};
    information->dwFileAttributes = attributesOfMode(st.st_mode);
    const auto device = static_cast<unsigned long long>(st.st_dev);
    const auto inode = static_cast<unsigned long long>(st.st_ino);
    information->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    information->nFileSizeHigh = static_cast<DWORD>(static_cast<unsigned long long>(st.st_size) >> 32);
    information->nFileSizeLow = static_cast<DWORD>(st.st_size);
    information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    information->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    information->nFileIndexLow = static_cast<DWORD>(inode);
    return TRUE;
}

bool heldWithoutDeleteSharing(const char* path) { return heldWithoutDeleteSharingAt(AT_FDCWD, path); }

bool heldOpen(const char* path) { return heldOpenAt(AT_FDCWD, path); }

bool heldWithoutDeleteSharingAt(int folder, const char* name) { return lockedAt(folder, name, kDenyDeleteByte, 2); }

bool heldOpenAt(int folder, const char* name) { return lockedAt(folder, name, kOpenByte, 1); }

HANDLE handleOfDescriptor(int fd) { return handleOf(fd, ERROR_SUCCESS); }

int descriptorOf(HANDLE handle) {
    const FileObject* object = fromHandle<FileObject>(handle);
    return object != nullptr ? object->fd : -1;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, DWORD* read, void*) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (read != nullptr)
        *read = 0;
    if (object == nullptr)
        return failCall(EBADF);
    ssize_t got;
    do
        got = ::read(object->fd, buffer, toRead);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return failCall(errno);
    if (read != nullptr)
        *read = static_cast<DWORD>(got);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, DWORD* written, void*) {
    FileObject* object = fromHandle<FileObject>(file);
    if (written != nullptr)
        *written = 0;
    if (object == nullptr)
        return failCall(EBADF);
    const char* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        const ssize_t put = ::write(object->fd, bytes + done, toWrite - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return failCall(errno);
        if (put == 0)
            return failCall(ENOSPC);
        done += static_cast<DWORD>(put);
        if (written != nullptr)
            *written = done;
    }
    // Once a file is large, start writing its new data back now, as Windows'
    // cache does behind a writer, so that a later flush has little left to
    // wait for. Small files (most of what an extraction writes) are left to
    // the system: starting their write-back costs this process more time
    // than any flush could save.
#ifdef SYNC_FILE_RANGE_WRITE
    constexpr off_t largeFile = 8 << 20;
    object->written += toWrite;
    const off_t end = object->written >= largeFile ? ::lseek(object->fd, 0, SEEK_CUR) : 0;
    if (end >= largeFile && end >= static_cast<off_t>(toWrite))
        ::sync_file_range(object->fd, end - static_cast<off_t>(toWrite), toWrite, SYNC_FILE_RANGE_WRITE);
#endif
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (object == nullptr)
        return failCall(EBADF);
    if (::fsync(object->fd) != 0)
        return failCall(errno);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD moveMethod) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (object == nullptr)
        return failCall(EBADF);
    if (moveMethod > FILE_END)
        return failCall(EINVAL);
    const int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    const off_t at = ::lseek(object->fd, static_cast<off_t>(distance.QuadPart), whence);
    if (at < 0)
        return failCall(errno); // a negative position: EINVAL, 87 as on Windows
    if (newPosition != nullptr)
        newPosition->QuadPart = at;
    return TRUE;
}

namespace {
BOOL setRangeLock(HANDLE file, short type, int command, DWORD lengthLow, DWORD lengthHigh, const OVERLAPPED* at) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (object == nullptr || at == nullptr)
        return failCall(EBADF);
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>((static_cast<ULONGLONG>(at->OffsetHigh) << 32) | at->Offset);
    range.l_len = static_cast<off_t>((static_cast<ULONGLONG>(lengthHigh) << 32) | lengthLow);
    while (::fcntl(object->fd, command, &range) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EACCES) {
            SetLastError(ERROR_LOCK_VIOLATION);
            return FALSE;
        }
        return failCall(errno);
    }
    return TRUE;
}
} // namespace

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD lengthLow, DWORD lengthHigh, OVERLAPPED* overlapped) {
    const short type = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK;
    const int command = (flags & LOCKFILE_FAIL_IMMEDIATELY) ? F_OFD_SETLK : F_OFD_SETLKW;
    return setRangeLock(file, type, command, lengthLow, lengthHigh, overlapped);
}

BOOL UnlockFileEx(HANDLE file, DWORD, DWORD lengthLow, DWORD lengthHigh, OVERLAPPED* overlapped) {
    return setRangeLock(file, F_UNLCK, F_OFD_SETLK, lengthLow, lengthHigh, overlapped);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    const FileObject* object = fromHandle<FileObject>(file);
    struct stat st {};
    if (object == nullptr || size == nullptr)
        return failCall(EBADF);
    if (::fstat(object->fd, &st) != 0)
        return failCall(errno);
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccessTime, const FILETIME* lastWriteTime) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (object == nullptr)
        return failCall(EBADF);
    // 100 ns steps since 1601 to seconds and nanoseconds since 1970.
    constexpr ULONGLONG epochDifference = 116444736000000000ull;
    const auto toTimespec = [](const FILETIME* time) {
        if (time == nullptr)
            return timespec{0, UTIME_OMIT};
        const ULONGLONG ticks = (static_cast<ULONGLONG>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
        const long long since1970 = static_cast<long long>(ticks) - static_cast<long long>(epochDifference);
        long long seconds = since1970 / 10000000;
        long long rest = since1970 % 10000000;
        if (rest < 0) {
            rest += 10000000;
            --seconds;
        }
        return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
    };
    const timespec times[2] = {toTimespec(lastAccessTime), toTimespec(lastWriteTime)};
    if (::futimens(object->fd, times) != 0)
        return failCall(errno);
    return TRUE;
}

namespace {

// The name the kernel knows the open file by now, split into its folder
// (opened) and last component. False with 2 when the file has no name any
// more.
bool currentName(int fd, int& folder, std::string& name) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX + 1];
    const ssize_t length = ::readlink(link, target, PATH_MAX);
    if (length <= 0)
        return failCall(errno) != FALSE;
    const std::string path(target, static_cast<std::size_t>(length));
    const auto cut = path.find_last_of('/');
    struct stat st {};
    if (path[0] != '/' || cut == std::string::npos || (::fstat(fd, &st) == 0 && st.st_nlink == 0)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    folder = ::open(cut == 0 ? "/" : path.substr(0, cut).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return failCall(errno) != FALSE;
    name = path.substr(cut + 1);
    return true;
}

// True when `name` in `folder` is the file open as `fd`; 32 when another
// file stands there now.
bool nameLeadsTo(int folder, const std::string& name, int fd, struct stat& st) {
    struct stat there {};
    if (::fstat(fd, &st) != 0 || ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0)
        return failCall(errno) != FALSE;
    if (there.st_dev != st.st_dev || there.st_ino != st.st_ino) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    return true;
}

// "\??\" and a path with '\' separators, UTF-32, back to a POSIX path.
bool renameTarget(const FILE_RENAME_INFO& info, DWORD size, std::string& path) {
    const std::size_t count = info.FileNameLength / sizeof(WCHAR);
    if (info.RootDirectory != nullptr || info.FileNameLength % sizeof(WCHAR) != 0 ||
        size < offsetof(FILE_RENAME_INFO, FileName) + info.FileNameLength)
        return false;
    std::wstring wide(info.FileName, count);
    if (wide.compare(0, 4, L"\\??\\") == 0)
        wide.erase(0, 4);
    for (const wchar_t c : wide) {
        const auto code = static_cast<std::uint32_t>(c);
        const char separator = c == L'\\' ? '/' : '\0';
        if (separator != '\0')
            path += separator;
        else if (code < 0x80)
            path += static_cast<char>(code);
        else if (code < 0x800)
            path += {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
        else if (code < 0x10000)
            path += {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (code & 0x3F))};
        else if (code < 0x110000)
            path += {static_cast<char>(0xF0 | (code >> 18)), static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                     static_cast<char>(0x80 | ((code >> 6) & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
        else
            return false;
    }
    return !path.empty() && path.find('\0') == std::string::npos;
}

} // namespace

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size) {
    const FileObject* object = fromHandle<FileObject>(file);
    if (object == nullptr)
        return failCall(EBADF);
    const bool disposition = kind == FileDispositionInfo && size >= sizeof(FILE_DISPOSITION_INFO);
    const bool rename = kind == FileRenameInfo && size >= sizeof(FILE_RENAME_INFO);
    if (information == nullptr || (!disposition && !rename)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string target;
    if (rename && !renameTarget(*static_cast<const FILE_RENAME_INFO*>(information), size, target)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (disposition && !static_cast<const FILE_DISPOSITION_INFO*>(information)->DeleteFile)
        return TRUE;
    int folder = -1;
    std::string name;
    struct stat st {};
    if (!currentName(object->fd, folder, name))
        return FALSE;
    // The name is checked right before it is changed, relative to the folder
    // held open: a name swapped in between is one in that same folder.
    BOOL done = FALSE;
    if (nameLeadsTo(folder, name, object->fd, st)) {
        if (disposition && (st.st_mode & S_IWUSR) == 0)
            SetLastError(ERROR_ACCESS_DENIED);
        else if (disposition)
            done = ::unlinkat(folder, name.c_str(), 0) == 0 ? TRUE : failCall(errno);
        else if (static_cast<const FILE_RENAME_INFO*>(information)->ReplaceIfExists)
            done = ::renameat(folder, name.c_str(), AT_FDCWD, target.c_str()) == 0 ? TRUE : failCall(errno);
        else if (::renameat2(folder, name.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            done = TRUE;
        else
            SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : win32ErrorFromErrno(errno, target.c_str()));
    }
    const DWORD code = GetLastError();
    ::close(folder);
    SetLastError(done ? ERROR_SUCCESS : code);
    return done;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int count, WCHAR* wide, int wideCount) {
    if (text == nullptr || count == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t length = count < 0 ? std::strlen(text) + 1 : static_cast<std::size_t>(count);
    std::wstring out;
    for (std::size_t i = 0; i < length;) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= length) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::uint32_t code = extra == 0 ? lead : (lead & (0x3Fu >> extra));
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0) != 0x80) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return 0;
            }
            code = (code << 6) | (next & 0x3F);
        }
        out += static_cast<wchar_t>(code);
        i += static_cast<std::size_t>(extra) + 1;
    }
    const int needed = static_cast<int>(out.size());
    if (wideCount == 0)
        return needed;
    if (wide == nullptr || wideCount < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(wide, out.data(), out.size());
    return needed;
}
