#include "platform/system_error.h"

#include <gtest/gtest.h>

#include <set>

namespace {

bool endsWithLineEnd(const std::string& text) {
    return text.size() > 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

TEST(SystemErrorText, GivesTheSystemSentenceWithItsLineEnd) {
    // The codes the registry and file operations report on both builds.
    std::set<std::string> texts;
    for (Platform::ErrorCode code : {0u, 2u, 3u, 5u, 6u, 87u, 161u, 183u, 1018u}) {
        const std::string text = systemErrorText(code);
        EXPECT_TRUE(endsWithLineEnd(text)) << code << ": " << text;
        EXPECT_NE(text, "FormatMessage fail") << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 9u) << "each code has its own text";
}

TEST(SystemErrorText, CodeWithoutTextGivesTheFailureText) {
    for (Platform::ErrorCode code : {99999u, 0x2000FFFFu})
        EXPECT_EQ(systemErrorText(code), "FormatMessage fail") << code;
}

#ifndef _WIN32
TEST(SystemErrorText, EveryNativeTextIsOneSentenceEndingInCrLf) {
    int found = 0;
    for (Platform::ErrorCode code = 0; code < 20000; ++code) {
        const std::string text = systemErrorText(code);
        if (text == "FormatMessage fail")
            continue;
        ++found;
        EXPECT_TRUE(endsWithLineEnd(text)) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), text.size() - 2) << code;
        EXPECT_EQ(text[text.size() - 3], '.') << code;
    }
    EXPECT_GT(found, 20);
}
#endif

} // namespace
