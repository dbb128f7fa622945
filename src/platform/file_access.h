// Who may read and write a file: carried from the file a new one replaces.
#pragma once

#include "platform/win32.h"

namespace FileUtils {

// Gives the open file `file` the owner and permissions of the open file
// `like`. Natively its mode and owner (as root; an ordinary user keeps
// ownership and sets the mode). On Windows a new file takes the inherited
// access list of its folder, as the file it replaces did, and nothing is
// changed. False with the system's code.
bool takeAccessOf(HANDLE like, HANDLE file);

} // namespace FileUtils
