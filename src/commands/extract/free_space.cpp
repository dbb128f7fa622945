#include "commands/extract/free_space.h"

bool FreeSpace::fits(const FileUtils::HeldFolder& folder, mz_uint64 size) {
    if (size == 0)
        return true;
    if (!known || size > available) {
        std::uint64_t free = 0;
        known = folder.freeSpace(free);
        if (!known)
            return true; // the system cannot tell: the write finds out
        available = free;
        if (size > available)
            return false;
    }
    available -= size;
    return true;
}
