// One update per archive at a time. The lock is a named mutex of the
// system, named after the archive's folder (its volume and file index, so
// every path to it gives one name) and its file name: the system frees it
// when its holder ends in any way, and no file stands for it that a user
// who may write the folder could plant, link or leave behind. Such a user
// can at most hold the name himself, which makes updates wait and refuse.
#pragma once

#include "platform/held_folder.h"
#include "platform/win32.h"

#include <string>

class UpdateLock {
public:
    UpdateLock() = default;
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    // Waits up to `waitMs` to hold the lock of `name` in the held `folder`.
    // False when another holds it all that time, or the folder cannot be
    // identified (with the system's code).
    bool take(const FileUtils::HeldFolder& folder, const std::string& name, unsigned long waitMs);

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};
