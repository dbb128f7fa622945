#include "commands/entry_ranges.h"

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
