// The archive an update, a repair or a swap back works on: its folder held
// open and its update lock held.
#pragma once

#include "commands/update/update_lock.h"
#include "platform/held_folder.h"

#include <string>

// The archive's folder held open and the archive locked, or the reason why
// not already logged (the status to end with in `status`).
struct Target {
    FileUtils::HeldFolder folder;
    UpdateLock lock;
    std::string name;
};

// Holds the folder of `appAsar` (its last level never through a link) and
// takes the archive's lock, waiting up to `lockMs` for another update. False,
// with an ERROR line and `status` 5, when another update holds it all that
// time. Throws FileUtils::IOException, its message beginning with
// `failure`, when the folder cannot be held or the lock file not opened.
bool holdTarget(const std::string& appAsar, const std::string& failure, unsigned long lockMs, Target& target,
                int& status);
