#include "commands/extract/entry_ranges.h"

#include <cstring>

bool CoveredRanges::add(std::uint64_t begin, std::uint64_t end) {
    if (begin >= end)
        return true;
    // The first range starting at or after `begin`, and the one before it,
    // are the only ones that can reach into [begin, end).
    auto next = covered.lower_bound(begin);
    if (next != covered.end() && next->first < end)
        return false;
    if (next != covered.begin() && std::prev(next)->second > begin)
        return false;
    covered.emplace_hint(next, begin, end);
    return true;
}

bool entryRange(mz_zip_archive& archive, const mz_zip_archive_file_stat& entry, mz_uint64& begin, mz_uint64& end) {
    unsigned char header[30];
    if (archive.m_pRead(archive.m_pIO_opaque, entry.m_local_header_ofs, header, sizeof header) != sizeof header ||
        std::memcmp(header, "PK\x03\x04", 4) != 0)
        return false;
    const auto le16 = [&](int at) { return static_cast<mz_uint64>(header[at] | header[at + 1] << 8); };
    const mz_uint64 data = entry.m_local_header_ofs + sizeof header + le16(26) + le16(28);
    begin = entry.m_local_header_ofs;
    end = entry.m_comp_size > ~mz_uint64{0} - data ? ~mz_uint64{0} : data + entry.m_comp_size;
    return true;
}
