// What a HANDLE points to in the POSIX stand-in: one object per open file,
// process or similar, owned by the handle and released by CloseHandle.
#pragma once

#include "posix/win32_standin.h"

struct StandinObject {
    virtual ~StandinObject() = default;
};

inline HANDLE toHandle(StandinObject* object) { return static_cast<HANDLE>(object); }

// Null for the two handles that name no object, as for one of another kind.
template <typename T> T* fromHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return dynamic_cast<T*>(static_cast<StandinObject*>(handle));
}

// True when a handle of the stand-in holds the regular file at `path` (the
// name itself, not a link's target) without sharing deletion: Windows then
// refuses to delete or rename it (32), or to replace it (5).
bool heldWithoutDeleteSharing(const char* path);
// True when any handle of the stand-in has the regular file at `path` open:
// Windows then refuses to replace it by a rename (5).
bool heldOpen(const char* path);
// The same two questions about the name `name` in the folder open as the
// descriptor `folder` (AT_FDCWD: the current folder).
bool heldWithoutDeleteSharingAt(int folder, const char* name);
bool heldOpenAt(int folder, const char* name);

// A file handle owning the open descriptor `fd` (closed with the handle, or
// at once when no handle can be made: INVALID_HANDLE_VALUE with 8).
HANDLE handleOfDescriptor(int fd);
// The descriptor of a file handle; -1 for any other handle.
int descriptorOf(HANDLE handle);

// The attributes Windows gives a folder or a regular file of this mode: the
// read-only attribute is the owner's write permission.
DWORD attributesOfMode(unsigned mode);
