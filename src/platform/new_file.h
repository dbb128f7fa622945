// A file that did not exist before, written beside its final name in a held
// folder and put in place in one step: created exclusively (never through an existing name or
// link), filled and checked by its owner, then renamed over the final name.
// Until then nobody else can write it, and a run killed at any instant leaves
// the old final file as it was; what a failed or dropped NewFile wrote is
// removed again.
#pragma once

#include "platform/file.h"
#include "platform/held_folder.h"

#include <cstddef>
#include <string>

namespace FileUtils {

// `digits` hex digits from the system's random source, so that a name made
// with them cannot be guessed and planted in advance.
std::string randomHex(std::size_t digits);
// Whether `text` begins with `digits` digits as randomHex writes them.
bool isRandomHex(const char* text, std::size_t digits);

class NewFile {
public:
    NewFile() = default;
    // Removes the file unless it was put in place.
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates prefix + 16 random hex digits + suffix in the held folder,
    // which must outlive this object, trying a few names when one is taken:
    // the file is made, renamed and removed relative to it, never through a
    // link on the way. `mode` gives its Unix permission bits where the
    // system has them. False with the system's code.
    bool createUnique(const HeldFolder& folder, const std::string& prefix, const std::string& suffix,
                      unsigned mode = 0666);

    const std::string& path() const { return path_; }
    Platform::File& file() { return file_; }

    // Appends all `size` bytes. False with the system's code; a short write
    // reports ERROR_DISK_FULL.
    bool write(const void* data, std::size_t size);
    // Closes it and renames it over `name` in its folder, replacing what is
    // there (a link is replaced, never written through). False with
    // the system's code; the file then stays this object's.
    bool replaceIn(const std::string& name);
    // Closes and deletes the file now, keeping the calling thread's
    // last-error code.
    void discard();

private:
    Platform::File file_;
    std::string path_;
    const HeldFolder* folder_ = nullptr;
    std::string name_; // its name there
};

} // namespace FileUtils
