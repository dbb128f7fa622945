// Natively a File is a descriptor, read and written with the plain calls.
#include "platform/file.h"

#include "platform/error_code.h"
#include "platform/system_calls_posix.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

constexpr ErrorCode kDiskFull = 112;

bool failErrno() {
    setLastError(errorFromErrno(errno));
    return false;
}

// One call moves at most this much; a larger request is looped.
std::size_t oneCall(std::size_t size) { return size < std::size_t{SSIZE_MAX} ? size : std::size_t{SSIZE_MAX}; }

} // namespace

NativeFile File::invalid() { return -1; }

void File::close() {
    if (native_ >= 0)
        Platform::systemCalls.close(native_);
    native_ = -1;
}

bool File::read(void* data, std::size_t size, std::size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t n = Platform::systemCalls.read(native_, data, oneCall(size));
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return true;
        }
        if (errno != EINTR)
            return failErrno();
    }
}

bool File::readAt(std::uint64_t offset, void* data, std::size_t size, std::size_t& got) {
    got = 0;
    char* at = static_cast<char*>(data);
    while (got < size) {
        const ssize_t n =
            Platform::systemCalls.pread(native_, at + got, oneCall(size - got), static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failErrno();
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool File::write(const void* data, std::size_t size) {
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = Platform::systemCalls.write(native_, from, oneCall(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failErrno();
        if (n == 0) {
            setLastError(kDiskFull);
            return false;
        }
        from += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool File::flush() { return Platform::systemCalls.fsync(native_) == 0 || failErrno(); }

bool File::size(std::uint64_t& bytes) const {
    struct stat st {};
    if (Platform::systemCalls.fstat(native_, &st) != 0)
        return failErrno();
    bytes = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool File::identity(FileIdentity& identity) const {
    struct stat st {};
    if (Platform::systemCalls.fstat(native_, &st) != 0)
        return failErrno();
    identity.volume = static_cast<std::uint64_t>(st.st_dev);
    identity.index = static_cast<std::uint64_t>(st.st_ino);
    identity.folder = S_ISDIR(st.st_mode);
    identity.names = static_cast<std::uint32_t>(st.st_nlink);
    return true;
}

bool File::setTimes(std::int64_t unixSeconds) {
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[1].tv_sec = static_cast<time_t>(unixSeconds);
    return Platform::systemCalls.futimens(native_, times) == 0 || failErrno();
}

} // namespace Platform
