// Who may read and write a file: carried from the file a new one replaces.
#pragma once

#include "platform/file.h"

namespace FileUtils {

// Gives the open file `file` the owner and permissions of the open file
// `like`. Natively its mode and owner (as root; an ordinary user keeps
// ownership and sets the mode). On Windows a new file takes the inherited
// access list of its folder, as the file it replaces did, and nothing is
// changed. False with the system's code.
bool takeAccessOf(Platform::NativeFile like, Platform::NativeFile file);
// Gives the open file or folder `copy` the permission bits of the open
// `original`, less set-user-id, set-group-id and write for others, and the
// owner and group of the open `ownerOf` (as root; an ordinary user keeps
// what he made). On Windows nothing is changed: a new file or folder takes
// the inherited access list of its folder. False with the system's code.
bool takeCopiedAccess(Platform::NativeFile original, Platform::NativeFile copy, Platform::NativeFile ownerOf);
// Lets the open file `file`, one this process made, be deleted: natively
// the owner's write permission (the read-only attribute) is given back,
// unless the file has other names too (then 5). On
// Windows nothing of ours is made read-only, and nothing is changed. False
// with the system's code.
bool makeRemovable(Platform::NativeFile file);

} // namespace FileUtils
