// Where zip entries lie in their archive, to find entries that share bytes.
#pragma once

#include <miniz.h>

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

// The bytes an entry takes up in the archive, from its local header to the
// end of its compressed data, read the way the library reads them (which
// then finds that header in its read buffer). False when the local header
// cannot be read: such an entry fails on its own.
bool entryRange(mz_zip_archive& archive, const mz_zip_archive_file_stat& entry, mz_uint64& begin, mz_uint64& end);
