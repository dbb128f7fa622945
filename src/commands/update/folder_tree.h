// Whole folders below a held folder: copied from another held folder, and
// removed.
#pragma once

#include "platform/held_folder.h"

#include <string>

// Copies the contents of the held folder `source` into the held folder
// `target`, every file made new there and flushed to disk, every level of
// both listed through its handle and reached through the one above it. Each
// file and folder made keeps its original's permission bits and gets the
// owner of the open folder `owner` (FileUtils::takeCopiedAccess). False,
// with `link` set to its path, at the first link or other reparse point in
// `source`: nothing is read through one. Throws FileUtils::IOException for
// any other failure, a listing cut short included.
bool copyFolderTree(const FileUtils::HeldFolder& source, const FileUtils::HeldFolder& target,
                    Platform::NativeFile owner, std::string& link);

// Removes the folder `name` of `parent` with everything in it, never
// following a link in it (a link is removed itself); a file or link at that
// name is removed as such. True when nothing is left there (missing
// included); false with the system's code at the first entry that stays.
// Files and links go as removeEntry removes them, with `prefix`.
bool removeFolderTree(const FileUtils::HeldFolder& parent, const std::string& name, const std::string& prefix);

// Removes the file or link `name` of `folder` as the name it is: a new empty
// file of ours, named `prefix` and 16 random hex digits, is first renamed
// over it, so that a link is replaced itself and never followed (Wine 8
// shows a Unix link to a file as that very file, and deletes what it leads
// to), and then deleted. A folder at the name is refused (5). True when the
// name is gone (missing included); false with the system's code.
bool removeEntry(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix);
