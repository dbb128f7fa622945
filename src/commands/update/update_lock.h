// One update per archive at a time. The lock is a file beside the archive,
// `<stem>.vantrell.lock` (the stem of the staging names), held open
// exclusively for the run (natively with flock, on Windows without any
// sharing) and removed when the run lets go of it. The system lets go of it
// when its holder ends in any way, so a lock left by a killed run never
// blocks: the next run opens or replaces the file. Only who may write the
// archive's folder can make the file, and it is made so that no one else
// can open it (natively mode 0600, owned by the folder's owner; on Windows
// an access list for its owner, the system and the administrators only). A
// file at that name that others could open, or that is no plain file of its
// own, is replaced.
#pragma once

#include "platform/file.h"
#include "platform/held_folder.h"

#include <string>

class UpdateLock {
public:
    enum class Result {
        held,
        busy,   // a live holder kept it for the whole wait
        failed, // the lock file cannot be opened, made or replaced: the system's code says why
    };

    UpdateLock() = default;
    // Lets go of the lock, and removes the file when it holds it.
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    // Waits up to `waitMs` to hold the lock of the archive `name` in
    // `folder`, which must stay open while this object lives.
    Result take(const FileUtils::HeldFolder& folder, const std::string& name, unsigned long waitMs);

    // The lock file's name beside the archive `name`.
    static std::string fileName(const std::string& name);

private:
    const FileUtils::HeldFolder* folder_ = nullptr;
    std::string name_;
    Platform::File file_;
};
