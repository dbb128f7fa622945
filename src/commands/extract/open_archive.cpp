#include "commands/extract/open_archive.h"

#include "platform/win32.h"

namespace {

// The library opens the archive with the runtime's fopen, which waits on a
// FIFO for a writer that may never come; a file the system refuses to open
// for reading (a FIFO, a device, a folder) is no archive.
bool isReadableFile(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

} // namespace

bool openArchive(mz_zip_archive& archive, const std::string& path) {
    archive = mz_zip_archive{};
    return isReadableFile(path) && mz_zip_reader_init_file(&archive, path.c_str(), 0);
}
