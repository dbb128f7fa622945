// The archive an extraction reads, opened and ended in one place.
#pragma once

#include <miniz.h>

#include <string>

// Opens `path` as a zip archive into `archive`. False, with nothing to end,
// when the path is not a file the system lets us read (a FIFO, a device, a
// folder) or the library finds no archive in it.
bool openArchive(mz_zip_archive& archive, const std::string& path);

// Ends the archive record on every way out of the command, including an
// exception in the middle of the entries.
class OpenArchive {
public:
    explicit OpenArchive(mz_zip_archive& record) : archive(record) {}
    ~OpenArchive() { mz_zip_reader_end(&archive); }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;

private:
    mz_zip_archive& archive;
};
