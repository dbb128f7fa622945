// POSIX implementation of the Win32 file-handle calls: open, read, write and
// flush, with the share mode kept through advisory locks.
#include "posix/win32_standin.h"

#include "posix/standin_handle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FileObject : StandinObject {
    explicit FileObject(int descriptor) : fd(descriptor) {}
    ~FileObject() override { ::close(fd); }
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;
    const int fd;
};

HANDLE failOpen(int error, const char* path) {
    SetLastError(win32ErrorFromErrno(error, path));
    return INVALID_HANDLE_VALUE;
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
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
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

    struct stat before {};
    const bool existed = ::stat(path, &before) == 0;
    const int fd = ::open(path, flags, 0666);
    if (fd < 0 && (errno == EEXIST || (errno == ELOOP && disposition == CREATE_NEW))) {
        SetLastError(ERROR_FILE_EXISTS); // what CREATE_NEW reports, unlike CreateDirectoryA
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0)
        return failOpen(errno, path);
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        // Windows opens a folder only with backup semantics: access denied.
        const int error = S_ISDIR(opened.st_mode) ? EACCES : errno;
        ::close(fd);
        return failOpen(error, path);
    }

    if (const int lock = lockFor(access, shareMode)) {
        if (::flock(fd, lock | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            return failOpen(error == EWOULDBLOCK ? EBUSY : error, path);
        }
        // The holder of the lock may have renamed the file away and let go of
        // it between our open and our lock: then this is no longer the file at
        // `path`, and truncating it would damage someone else's file.
        struct stat now {};
        if (::stat(path, &now) != 0 || now.st_ino != opened.st_ino || now.st_dev != opened.st_dev) {
            ::close(fd);
            return failOpen(EBUSY, path);
        }
    }

    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        return failOpen(error, path);
    }
    if (flagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Like Windows, report that an existing file was opened (or overwritten).
    const bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return toHandle(new FileObject(fd));
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
    const FileObject* object = fromHandle<FileObject>(file);
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
    const off_t end = ::lseek(object->fd, 0, SEEK_CUR);
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
