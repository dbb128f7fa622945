// The archive an extraction reads: opened, read, and ended in one place.
#pragma once

#include "platform/win32.h"

#include <miniz.h>

#include <string>
#include <vector>

// Holds the archive file and the library's record of it, and ends both on
// every way out of the command. The library reads an entry's local header
// and its compressed data with separate small reads; they are served from a
// window of the file's bytes, so that an archive of small entries costs a
// system call per few hundred entries rather than a few per entry.
class OpenArchive {
public:
    OpenArchive() = default;
    ~OpenArchive();
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;

    // Opens `path` as a zip archive. False, holding nothing, when the path is
    // not a file the system lets us read (a FIFO, a device, a folder) or the
    // library finds no archive in it.
    bool open(const std::string& path);

    mz_zip_archive& record() { return archive; }

private:
    // The library's read callback: `self` is the OpenArchive.
    static size_t read(void* self, mz_uint64 offset, void* buffer, size_t size);
    bool readAt(mz_uint64 offset, void* buffer, size_t size);

    mz_zip_archive archive{};
    bool started = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    mz_uint64 position = 0; // of the file pointer
    std::vector<unsigned char> window;
    mz_uint64 windowStart = 0;
    std::size_t windowLength = 0;
};
