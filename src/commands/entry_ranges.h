// Where zip entries lie in their archive, to find entries that share bytes.
#pragma once

#include <cstdint>
#include <map>

// The parts of an archive that the entries met so far take up, each from its
// local header to the end of its compressed data. Entries that share their
// data are how an archive of a few hundred bytes unpacks into the same huge
// file again and again; no archive writer makes them.
class CoveredRanges {
public:
    // Adds the bytes [begin, end) and returns true, unless they share at
    // least one byte with a range added before: then false, adding nothing.
    // An empty range shares nothing. O(log n).
    bool add(std::uint64_t begin, std::uint64_t end);

private:
    std::map<std::uint64_t, std::uint64_t> covered; // begin -> end, disjoint
};
