#include "commands/extract/entry_path.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryPath, NamesNotInUtf8AreDecodedFromCodePage437) {
    const struct {
        const char* stored;
        bool flagged;
        const char* name;
    } cases[] = {
        {"plain/ascii.txt", false, "plain/ascii.txt"},
        {"x\xff.txt", false, "x\xc2\xa0.txt"},                   // no-break space
        {"x\xfe.txt", false, "x\xe2\x96\xa0.txt"},               // black square
        {"\x80\x9e\xe1", false, "\xc3\x87\xe2\x82\xa7\xc3\x9f"}, // first, three-byte and Greek rows
        {"\xc3\xbc.txt", false, "\xc3\xbc.txt"},                 // valid UTF-8 without the flag: kept
        {"x\xff.txt", true, "x\xff.txt"},                        // flagged: kept as stored
        {"\xc0\xaf", false, "\xe2\x94\x94\xc2\xbb"},             // overlong '/': not UTF-8
        {"\xed\xa0\x80", false, "\xcf\x86\xc3\xa1\xc3\x87"},     // a surrogate: not UTF-8
        {"\xe2\x82", false, "\xce\x93\xc3\xa9"},                 // cut short: not UTF-8
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodedEntryName(c.stored, c.flagged), c.name) << c.stored;
}

TEST(EntryPath, LevelsSplitAtBothSeparatorsWithoutEmptyOrDotLevels) {
    const struct {
        const char* name;
        std::vector<std::string> levels;
    } cases[] = {
        {"a/b.txt", {"a", "b.txt"}},
        {"a\\b.txt", {"a", "b.txt"}},
        {"a\\b/c\\", {"a", "b", "c"}},
        {"a//./b", {"a", "b"}},
        {"./", {}},
        {"..a/.b", {"..a", ".b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(entryLevels(c.name), c.levels) << c.name;
}

TEST(EntryPath, NamesWindowsTakesForOneFileShareTheirLandingKey) {
    const struct {
        std::vector<std::string> first, second;
        bool same;
    } cases[] = {
        {{"a", "b.txt"}, {"A", "B.TXT"}, true}, {{"a", "b.txt"}, {"a", "b.txt. "}, true},
        {{"a.", "b"}, {"a", "b"}, true},        {{"a", "b.txt"}, {"a", "b.txt2"}, false},
        {{"ab", "c"}, {"a", "bc"}, false},      {{"\xc3\xa4"}, {"\xc3\x84"}, false}, // ASCII case only
    };
    for (const auto& c : cases)
        EXPECT_EQ(landingKey(c.first) == landingKey(c.second), c.same) << c.first.back() << " " << c.second.back();
}

} // namespace
