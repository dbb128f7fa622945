// The archive an extraction reads: opened, read, and ended in one place.
#pragma once

#include "platform/file.h"
#include "platform/held_folder.h"

#include <miniz.h>

#include <string>
#include <vector>

// Holds the archive file and the library's record of it, and ends both on
// every way out of the command. The file is opened once, in its folder held
// open, and every byte of it is read through that one handle: whatever is
// put at its name or its folder's name meanwhile is never read. The library
// reads an entry's local header and its compressed data with separate small
// reads; they are served from a window of the file's bytes, so that an
// archive of small entries costs a system call per few hundred entries
// rather than a few per entry.
class OpenArchive {
public:
    OpenArchive() = default;
    ~OpenArchive();
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;

    enum class Opened { Ok, Missing, Link, Failed };

    // Opens the file at `path` for reading, shared for reading, writing and
    // deleting (the program that fetched it may still hold it). Its folder is
    // held first, the folder's last level never through a link, and the
    // file is opened in it, never through a link: Link for a link, junction
    // or other reparse point at either name (under Wine a Unix link to a
    // folder shows as one, a link to a file does not). Missing when nothing
    // is there (any more); Failed with the system's code for anything else
    // (a folder, a FIFO, a device). A file another program holds without
    // sharing its reading is tried again for up to `inUseMs`, with one WARN
    // line.
    Opened open(const std::string& path, unsigned long inUseMs);
    // Reads the opened file as a zip archive. False, the library holding
    // nothing, when open() did not succeed or the library finds no archive.
    bool start();

    mz_zip_archive& record() { return archive; }

private:
    // The library's read callback: `self` is the OpenArchive.
    static size_t read(void* self, mz_uint64 offset, void* buffer, size_t size);
    bool readAt(mz_uint64 offset, void* buffer, size_t size);

    mz_zip_archive archive{};
    bool started = false;
    FileUtils::HeldFolder folder;
    Platform::File file;
    std::vector<unsigned char> window;
    mz_uint64 windowStart = 0;
    std::size_t windowLength = 0;
};
