// Whether the entries still to come fit on the output volume.
#pragma once

#include "platform/held_folder.h"

#include <miniz.h>

// Whether an entry's declared size fits into the free space of the output
// volume. The system is asked again only when an entry might not fit into
// what was free at its last answer less what has been declared since, so a
// run of small entries costs no query each; when other writers take space
// in between, the write that runs out fails instead and is removed.
class FreeSpace {
public:
    // True when `size` bytes fit on the volume of `folder`, or when the
    // system cannot tell (the write then finds out).
    bool fits(const FileUtils::HeldFolder& folder, mz_uint64 size);

private:
    bool known = false;
    mz_uint64 available = 0;
};
