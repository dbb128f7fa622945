// The update archive, opened once and never through a link, and read,
// removed or parked through that one handle: whatever is put at its name
// meanwhile is neither read, deleted nor moved.
#pragma once

#include "platform/error_code.h"
#include "platform/file.h"
#include "platform/held_folder.h"

#include <string>

class UpdateSource {
public:
    enum class Opened { Ok, Missing, Link, Failed };

    UpdateSource() = default;
    ~UpdateSource() = default;
    UpdateSource(const UpdateSource&) = delete;
    UpdateSource& operator=(const UpdateSource&) = delete;

    // Opens `path` for reading, shared for reading only, so that nobody
    // changes it while it is read (one held by another program is tried
    // again for up to `inUseMs`, with one WARN line). Link: a symbolic link, junction or other
    // reparse point is at the name (Wine's own view of a Unix link included).
    // Failed keeps the system's code. Its folder is held first, the last
    // level never through a link (Link as well): a folder swapped for a link
    // to another one cannot hand over a file of that one.
    Opened open(const std::string& path, unsigned long inUseMs);
    Platform::File& file() { return file_; }
    // The update's folder, held, and the update's name in it.
    const FileUtils::HeldFolder& folder() const { return folder_; }
    const std::string& name() const { return name_; }

    // Deletes the archive through its handle. When the system refuses (5:
    // read-only, or in use on Windows) it is moved, still through its handle,
    // into the temporary folder under its own name, or with "_1", "_2"...
    // appended, and the system asked to delete it at the next start. Never
    // throws: what cannot be done is a WARN line, for the update is in place
    // by then.
    void remove();

private:
    bool park(Platform::ErrorCode refusal);

    FileUtils::HeldFolder folder_;
    Platform::File file_;
    std::string path_;
    std::string name_;
};
