// Where zip entries lie in their archive, to find entries that share bytes.
#pragma once

#include <cstdint>
#include <vector>

// The bytes [begin, end) of the archive that one entry takes up: its local
// header, name, extra field and compressed data.
struct EntryRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// For each range, whether it shares at least one byte with another range
// (an empty range shares none). Entries that share their data are how an
// archive of a few hundred bytes unpacks into the same huge file again and
// again; no archive writer makes them. O(n log n).
std::vector<bool> overlappingRanges(const std::vector<EntryRange>& ranges);
