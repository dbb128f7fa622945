// Whole folders below a held folder: copied in from a path, and removed.
#pragma once

#include "platform/held_folder.h"

#include <string>

// Copies the contents of the folder `source` into the held folder `target`,
// every file made new there and flushed to disk. False, with `link` set to
// its path, at the first link or other reparse point in `source`: nothing is
// read through one. Throws FileUtils::IOException for any other failure.
bool copyFolderTree(const std::string& source, const FileUtils::HeldFolder& target, std::string& link);

// Removes the folder `name` of `parent` with everything in it, never
// following a link in it (a link is removed itself); a file or link at that
// name is removed as such. True when nothing is left there (missing
// included); false with the system's code at the first entry that stays.
bool removeFolderTree(const FileUtils::HeldFolder& parent, const std::string& name);
