#include "commands/extract/open_archive.h"
#include "platform/error_code.h"

#include "platform/file_utils.h"
#include "platform/in_use.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t windowSize = 256 * 1024;
// Reads this large go straight to the caller's buffer: the library's pieces
// of a large entry, and its central directory.
constexpr std::size_t directRead = 64 * 1024;

// A name the system cannot have (Windows: control characters) names no
// archive either.
OpenArchive::Opened missingOr(Platform::ErrorCode code) {
    Platform::setLastError(code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_DIRECTORY ||
                   code == ERROR_INVALID_NAME
               ? OpenArchive::Opened::Missing
               : OpenArchive::Opened::Failed;
}

} // namespace

OpenArchive::~OpenArchive() {
    if (started)
        mz_zip_reader_end(&archive);
}

OpenArchive::Opened OpenArchive::open(const std::string& path, unsigned long inUseMs) {
    const FileUtils::FolderAndName parts = FileUtils::splitAtLastSeparator(path);
    if (parts.name.empty()) {
        Platform::setLastError(ERROR_FILE_NOT_FOUND);
        return Opened::Missing;
    }
    if (!folder.openWithoutLastLink(parts.folder)) {
        const Platform::ErrorCode code = Platform::lastError();
        return code == ERROR_CANT_RESOLVE_FILENAME ? Opened::Link : missingOr(code);
    }
    // The system refuses at once to open a FIFO, a device or a folder as a
    // file; the runtime's fopen would wait on a FIFO for a writer.
    FileUtils::tryWhileInUse(path.c_str(), inUseMs, FileUtils::inUse, [&] {
        file = folder.openFile(parts.name, FileUtils::OpenFor::Reading);
        return file.isOpen();
    });
    // Wine follows a Unix link even when asked not to, but shows one to a
    // folder by its name.
    const std::string held = folder.path() + "/" + parts.name;
    if (!file.isOpen()) {
        const Platform::ErrorCode code = Platform::lastError();
        return FileUtils::lookAt(held.c_str()).link ? Opened::Link : missingOr(code);
    }
    Platform::FileIdentity identity;
    Opened opened = Opened::Ok;
    if (!file.identity(identity))
        opened = Opened::Failed;
    else if (identity.reparsePoint || FileUtils::lookAt(held.c_str()).link)
        opened = Opened::Link;
    else if (identity.folder)
        opened = missingOr(ERROR_ACCESS_DENIED);
    if (opened != Opened::Ok) {
        // Nothing but the file open() vouched for is ever read.
        const Platform::ErrorCode code = Platform::lastError();
        file.close();
        Platform::setLastError(code);
    }
    return opened;
}

bool OpenArchive::start() {
    std::uint64_t size = 0;
    if (!file.isOpen() || !file.size(size))
        return false;
    window.resize(windowSize);
    archive = mz_zip_archive{};
    archive.m_pRead = read;
    archive.m_pIO_opaque = this;
    started = mz_zip_reader_init(&archive, size, 0) != MZ_FALSE;
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
        std::size_t got = 0;
        if (!open->file.readAt(offset, open->window.data(), open->window.size(), got))
            return 0;
        open->windowLength = got;
        if (size > got)
            return 0;
    }
    std::memcpy(buffer, open->window.data() + (offset - open->windowStart), size);
    return size;
}

bool OpenArchive::readAt(mz_uint64 offset, void* buffer, size_t size) {
    std::size_t got = 0;
    return file.readAt(offset, buffer, size, got) && got == size;
}
