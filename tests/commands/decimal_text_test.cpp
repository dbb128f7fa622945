#include "commands/decimal_text.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    std::int64_t as32;
    std::int64_t as64;
};

TEST(ReadSignedDecimal, ReadsLikeStrtolAndClampsToTheRange) {
    const Case cases[] = {
        {"42", 42, 42},
        {"  42", 42, 42},
        {"\t\n42abc", 42, 42},
        {"+7", 7, 7},
        {"-1", -1, -1},
        {"abc", 0, 0},
        {"", 0, 0},
        {"-", 0, 0},
        {"+-3", 0, 0},
        {"0x10", 0, 0},
        {"- 5", 0, 0},
        {"2147483647", INT32_MAX, INT32_MAX},
        {"2147483648", INT32_MAX, 2147483648LL},
        {"4294967295", INT32_MAX, 4294967295LL},
        {"-2147483648", INT32_MIN, INT32_MIN},
        {"-2147483649", INT32_MIN, -2147483649LL},
        {"99999999999", INT32_MAX, 99999999999LL},
        {"9223372036854775807", INT32_MAX, INT64_MAX},
        {"9223372036854775808", INT32_MAX, INT64_MAX},
        {"-9223372036854775808", INT32_MIN, INT64_MIN},
        {"-9223372036854775809", INT32_MIN, INT64_MIN},
        {"123456789012345678901234567890", INT32_MAX, INT64_MAX},
        {"-123456789012345678901234567890", INT32_MIN, INT64_MIN},
        {"000000000000000000000000000012", 12, 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readSignedDecimal(c.text, INT32_MIN, INT32_MAX), c.as32) << c.text;
        EXPECT_EQ(readSignedDecimal(c.text, INT64_MIN, INT64_MAX), c.as64) << c.text;
    }
}

} // namespace
