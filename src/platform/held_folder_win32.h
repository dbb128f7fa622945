// What only the Windows side of a held folder offers.
#pragma once

#include "platform/held_folder.h"
#include "platform/win32.h"

#include <string>

namespace FileUtils {

// Opens or creates the file `name` in `folder`, relative to its handle and
// never through a link, shared with no one and deleted when its last handle
// closes (by the system too when the holder is killed); a new file gets the
// security descriptor `security`. INVALID_HANDLE_VALUE with the system's
// code: 32 while another holds it.
HANDLE openLockFile(const HeldFolder& folder, const std::string& name, void* security);

// Opens or creates the file `name` in `folder`, relative to its handle, for
// appending and reading, shared with everyone, and only as a file of one
// name: a link at the name (never followed) or a file with a second name
// fails with ERROR_CANT_RESOLVE_FILENAME (1921). None open with the code
// else: 5 for a folder.
Platform::File openAppendingFile(const HeldFolder& folder, const std::string& name);

} // namespace FileUtils
