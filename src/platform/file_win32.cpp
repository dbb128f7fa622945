// On Windows a File is a HANDLE, read and written with the Win32 calls.
#include "platform/file.h"

#include "platform/win32.h"

#include <climits>

namespace Platform {

namespace {

// One call moves at most this much; a larger request is looped.
DWORD oneCall(std::size_t size) { return size < std::size_t{MAXDWORD} ? static_cast<DWORD>(size) : MAXDWORD; }

} // namespace

NativeFile File::invalid() { return INVALID_HANDLE_VALUE; }

void File::close() {
    if (native_ != INVALID_HANDLE_VALUE)
        CloseHandle(native_);
    native_ = INVALID_HANDLE_VALUE;
}

bool File::read(void* data, std::size_t size, std::size_t& got) {
    DWORD n = 0;
    got = 0;
    if (!ReadFile(native_, data, oneCall(size), &n, nullptr))
        return false;
    got = n;
    return true;
}

bool File::readAt(std::uint64_t offset, void* data, std::size_t size, std::size_t& got) {
    got = 0;
    char* at = static_cast<char*>(data);
    while (got < size) {
        // A synchronous handle reads at the offset given, and moves there.
        OVERLAPPED where{};
        const std::uint64_t from = offset + got;
        where.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD n = 0;
        if (!ReadFile(native_, at + got, oneCall(size - got), &n, &where))
            return GetLastError() == ERROR_HANDLE_EOF;
        if (n == 0)
            break;
        got += n;
    }
    return true;
}

bool File::write(const void* data, std::size_t size) {
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        DWORD put = 0;
        if (!WriteFile(native_, from, oneCall(size), &put, nullptr))
            return false;
        if (put == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        from += put;
        size -= put;
    }
    return true;
}

bool File::flush() { return FlushFileBuffers(native_) != FALSE; }

bool File::size(std::uint64_t& bytes) const {
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(native_, &length))
        return false;
    bytes = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool File::identity(FileIdentity& identity) const {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(native_, &information))
        return false;
    identity.volume = information.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity.reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    identity.names = information.nNumberOfLinks;
    return true;
}

bool File::setTimes(std::int64_t unixSeconds) {
    // Seconds since 1970 to 100-nanosecond steps since 1601.
    const long long ticks = (static_cast<long long>(unixSeconds) + 11644473600LL) * 10000000LL;
    if (ticks < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const auto value = static_cast<unsigned long long>(ticks);
    const FILETIME stamp{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
    return SetFileTime(native_, nullptr, &stamp, &stamp) != FALSE;
}

} // namespace Platform
