#include "commands/extract/open_archive.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t windowSize = 256 * 1024;
// Reads this large go straight to the caller's buffer: the library's pieces
// of a large entry, and its central directory.
constexpr std::size_t directRead = 64 * 1024;

} // namespace

OpenArchive::~OpenArchive() {
    if (started)
        mz_zip_reader_end(&archive);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

bool OpenArchive::open(const std::string& path) {
    // The system refuses at once to open a FIFO, a device or a folder as a
    // file; the runtime's fopen would wait on a FIFO for a writer.
    file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart < 0)
        return false;
    window.resize(windowSize);
    archive = mz_zip_archive{};
    archive.m_pRead = read;
    archive.m_pIO_opaque = this;
    started = mz_zip_reader_init(&archive, static_cast<mz_uint64>(size.QuadPart), 0) != MZ_FALSE;
    return started;
}

size_t OpenArchive::read(void* self, mz_uint64 offset, void* buffer, size_t size) {
    auto* open = static_cast<OpenArchive*>(self);
    if (size >= directRead)
        return open->readAt(offset, buffer, size) ? size : 0;
    if (offset < open->windowStart || offset - open->windowStart + size > open->windowLength) {
        // Refilled from the offset on; near the end of the file it holds less.
        open->windowLength = 0;
        open->windowStart = offset;
        DWORD got = 0;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if ((offset != open->position && !SetFilePointerEx(open->file, at, nullptr, FILE_BEGIN)) ||
            !ReadFile(open->file, open->window.data(), static_cast<DWORD>(open->window.size()), &got, nullptr)) {
            open->position = ~mz_uint64{0};
            return 0;
        }
        open->position = offset + got;
        open->windowLength = got;
        if (size > got)
            return 0;
    }
    std::memcpy(buffer, open->window.data() + (offset - open->windowStart), size);
    return size;
}

bool OpenArchive::readAt(mz_uint64 offset, void* buffer, size_t size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (offset != position && !SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        position = ~mz_uint64{0};
        return false;
    }
    position = offset;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        DWORD got = 0;
        const auto piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!ReadFile(file, bytes, piece, &got, nullptr) || got == 0) {
            position = ~mz_uint64{0};
            return false;
        }
        position += got;
        bytes += got;
        size -= got;
    }
    return true;
}
