// The temporary files entries are written to, and what killed runs left of
// them.
#pragma once

#include "platform/held_folder.h"
#include "platform/win32.h"

#include <string>
#include <unordered_set>

// Each entry is written to a file of its own, named .vantrell-<pid>-<16 random
// hex digits>.tmp in the entry's folder, before it is renamed into place. The
// process id lets a later run tell a killed run's leftovers from a live
// writer's file.
extern const char* const temporaryPrefix;
extern const char* const temporarySuffix;

// The prefix of this process's temporary names: temporaryPrefix, its id, '-'.
std::string ownTemporaryPrefix();

// The writer's process id when `name` is one of our temporary names.
bool temporaryFileOwner(const char* name, std::uint32_t& processId);

// Removes, once per folder and run, the temporary files that killed runs
// left in a folder, and only those whose writer has ended. A link planted
// under such a name is removed itself, never what it leads to.
class Leftovers {
public:
    void sweep(const FileUtils::HeldFolder& folder);

private:
    std::unordered_set<std::string> swept;
};
