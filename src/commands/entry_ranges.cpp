#include "commands/entry_ranges.h"

#include <algorithm>
#include <cstddef>
#include <numeric>

std::vector<bool> overlappingRanges(const std::vector<EntryRange>& ranges) {
    std::vector<bool> overlapping(ranges.size(), false);
    std::vector<std::size_t> order(ranges.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return ranges[a].begin < ranges[b].begin; });
    // In order of their start, a range overlaps an earlier one exactly when
    // it starts before the furthest end seen so far; the range that reached
    // that end overlaps it too. Whenever the furthest end passes to a range
    // that overlaps, the range that held it is marked, so no pair is missed.
    bool any = false;
    std::size_t furthest = 0;
    for (const std::size_t index : order) {
        const EntryRange& range = ranges[index];
        if (range.begin >= range.end)
            continue;
        if (any && range.begin < ranges[furthest].end) {
            overlapping[index] = true;
            overlapping[furthest] = true;
        }
        if (!any || range.end > ranges[furthest].end)
            furthest = index;
        any = true;
    }
    return overlapping;
}
