#include "commands/extract/free_space.h"

#include "platform/win32.h"

bool FreeSpace::fits(const std::string& folder, mz_uint64 size) {
    if (size == 0)
        return true;
    if (!known || size > available) {
        ULARGE_INTEGER free;
        known = GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr) != FALSE;
        if (!known)
            return true; // the system cannot tell: the write finds out
        available = free.QuadPart;
        if (size > available)
            return false;
    }
    available -= size;
    return true;
}
