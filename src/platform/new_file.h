// A file that did not exist before, written beside its final name and put in
// place in one step: created exclusively (never through an existing name or
// link), filled and checked by its owner, then renamed over the final name.
// Until then nobody else can write it, and a run killed at any instant leaves
// the old final file as it was; what a failed or dropped NewFile wrote is
// removed again.
#pragma once

#include "platform/held_folder.h"
#include "platform/win32.h"

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

    // Creates the file at `path`. False, with the system's code, when
    // anything is at that name (a link, dangling or not, included: 80) or
    // the folder refuses it.
    bool create(const std::string& path);
    // Creates `folder` + "/" + prefix + 16 random hex digits + suffix, trying
    // a few names when one is taken. False with the system's code.
    bool createUnique(const std::string& folder, const std::string& prefix, const std::string& suffix);

    // The same in a held folder, which must outlive this object: the file is
    // made, renamed and removed relative to it, never through a link on the
    // way. `mode` gives its Unix permission bits where the system has them.
    bool createUnique(const HeldFolder& folder, const std::string& prefix, const std::string& suffix,
                      unsigned mode = 0666);

    const std::string& path() const { return path_; }
    HANDLE handle() const { return handle_; }

    // Appends all `size` bytes. False with the system's code; a short write
    // reports ERROR_DISK_FULL.
    bool write(const void* data, std::size_t size);
    // Renames the file, still open and still this object's, to `path`. With
    // `replaceExisting` what is there is replaced (a link is replaced, never
    // followed); without, an existing name fails (183). False with the
    // system's code; the file then keeps its name.
    bool moveTo(const std::string& path, bool replaceExisting);
    // Renames the file over `destination`, replacing what is there (a link
    // is replaced, never written through). With `durable` its data reach
    // the disk before the name points to it, so a power loss leaves the old
    // or the new file, and it stays open until renamed, so a failed try can
    // be repeated; without, it is closed first (for names nobody can guess).
    // False with the system's code; the file then stays this object's and is
    // removed with it.
    bool replace(const char* destination, bool durable);
    // For a file made in a held folder: closes it and renames it over `name`
    // in that folder, replacing what is there as replace() does. False with
    // the system's code; the file then stays this object's.
    bool replaceIn(const std::string& name);
    // Closes and deletes the file now, keeping the calling thread's
    // last-error code.
    void discard();

private:
    void close();

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string path_;
    const HeldFolder* folder_ = nullptr; // when made in a held folder
    std::string name_;                   // its name there
};

} // namespace FileUtils
