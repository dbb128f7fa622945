#include "commands/extract/entry_ranges.h"

#include <gtest/gtest.h>

namespace {

TEST(CoveredRanges, RefusesARangeThatSharesAByteWithAnEarlierOne) {
    CoveredRanges covered;
    const struct {
        std::uint64_t begin, end;
        bool added;
    } steps[] = {
        {100, 200, true}, {200, 300, true}, {50, 100, true},  {150, 160, false}, {90, 110, false},   {299, 400, false},
        {0, 1000, false}, {300, 300, true}, {500, 500, true}, {300, 301, true},  {301, ~0ull, true}, {600, 700, false},
    };
    for (const auto& s : steps)
        EXPECT_EQ(covered.add(s.begin, s.end), s.added) << s.begin << ".." << s.end;
}

} // namespace
