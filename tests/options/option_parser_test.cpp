#include "options/option_parser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Parsed {
    bool sleep;
    const char* ms;    // expected value of ms, or null
    const char* value; // expected value of value, or null
};

struct Case {
    std::vector<const char*> args;
    Parsed expected;
};

void parseInto(OptionParser& parser, std::vector<const char*> args) {
    parser.addFlag("sleep");
    parser.addOption("ms");
    parser.addOption("value");
    args.insert(args.begin(), "helper.exe");
    args.push_back(nullptr);
    parser.parse(static_cast<int>(args.size() - 1), args.data());
}

void expectValue(const char* got, const char* expected, const std::string& where) {
    if (expected == nullptr)
        EXPECT_EQ(got, nullptr) << where;
    else
        EXPECT_STREQ(got, expected) << where;
}

TEST(OptionParser, ReadsTheDocumentedSyntax) {
    const std::vector<Case> cases = {
        {{"--sleep", "--ms", "500"}, {true, "500", nullptr}},
        {{"--ms=500", "--sleep"}, {true, "500", nullptr}},
        {{"--ms"}, {false, nullptr, nullptr}},
        {{"--ms", "--sleep"}, {false, "--sleep", nullptr}},
        {{"--ms", "100", "--ms", "200"}, {false, "200", nullptr}},
        {{"--ms="}, {false, "", nullptr}},
        {{"--ms", ""}, {false, "", nullptr}},
        {{"--value=a=b"}, {false, nullptr, "a=b"}},
        {{"--sleep=no"}, {true, nullptr, nullptr}},
        {{"--sleep", "500"}, {true, nullptr, nullptr}},
        {{"-ms", "500"}, {false, nullptr, nullptr}},
        {{"-sleep"}, {false, nullptr, nullptr}},
        {{"-"}, {false, nullptr, nullptr}},
        {{"--Sleep"}, {false, nullptr, nullptr}},
        {{"--sle"}, {false, nullptr, nullptr}},
        {{"--sleepy"}, {false, nullptr, nullptr}},
        {{"--=5"}, {false, nullptr, nullptr}},
        {{"--"}, {false, nullptr, nullptr}},
        {{"--", "--sleep"}, {true, nullptr, nullptr}},
        {{"--=ms", "5"}, {false, nullptr, nullptr}},
        {{}, {false, nullptr, nullptr}},
        {{"stray", "--unknown", "x", "--ms", "7"}, {false, "7", nullptr}},
        {{"--unknown=1", "--value", "--x"}, {false, nullptr, "--x"}},
        {{"--ms=1", "2"}, {false, "1", nullptr}},
    };
    for (const Case& c : cases) {
        std::string where;
        for (const char* a : c.args)
            where += std::string(a) + " ";
        OptionParser parser;
        parseInto(parser, c.args);
        EXPECT_EQ(parser.getFlag("sleep"), c.expected.sleep) << where;
        expectValue(parser.getValue("sleep"), c.expected.sleep ? "true" : nullptr, where);
        expectValue(parser.getValue("ms"), c.expected.ms, where);
        expectValue(parser.getValue("value"), c.expected.value, where);
    }
}

TEST(OptionParser, NeverReadsTheProgramPath) {
    OptionParser parser;
    parser.addFlag("sleep");
    const char* argv[] = {"--sleep", nullptr};
    parser.parse(1, argv);
    EXPECT_FALSE(parser.getFlag("sleep"));
}

TEST(OptionParser, UndeclaredNamesAnswerFalseOrNull) {
    OptionParser parser;
    parseInto(parser, {"--other", "x"});
    EXPECT_FALSE(parser.getFlag("other"));
    EXPECT_EQ(parser.getValue("other"), nullptr);
}

TEST(OptionParser, WithoutDeclarationsEverythingIsAbsent) {
    OptionParser parser;
    const char* argv[] = {"helper", "--sleep", nullptr};
    parser.parse(2, argv);
    EXPECT_FALSE(parser.getFlag("sleep"));
    EXPECT_EQ(parser.getValue("sleep"), nullptr);
}

TEST(OptionParser, ValuedOptionHoldingTrueReadsAsFlag) {
    OptionParser parser;
    parseInto(parser, {"--ms", "true"});
    EXPECT_TRUE(parser.getFlag("ms"));
}

TEST(OptionParser, ValuesAreCopiesThatOutliveTheArguments) {
    OptionParser parser;
    parser.addOption("ms");
    std::string argument = "--ms=250";
    const char* argv[] = {"helper", argument.c_str(), nullptr};
    parser.parse(2, argv);
    argument.assign(argument.size(), 'x');
    EXPECT_STREQ(parser.getValue("ms"), "250");
}

TEST(OptionParser, FirstOfTwoDeclarationsAnswers) {
    OptionParser parser;
    parser.addOption("ms");
    parser.addFlag("ms");
    const char* argv[] = {"helper", "--ms", "9", nullptr};
    parser.parse(3, argv);
    EXPECT_STREQ(parser.getValue("ms"), "9");
}

TEST(OptionParser, TableDoublesWhenFullAndKeepsEntries) {
    static const char* const names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j",
                                        "k", "l", "m", "n", "o", "p", "q", "r", "s"};
    OptionParser parser;
    EXPECT_EQ(parser.capacity(), 10);
    for (int i = 0; i < 19; ++i) {
        parser.addOption(names[i]);
        EXPECT_EQ(parser.capacity(), i < 10 ? 10 : 20) << i;
    }
    EXPECT_EQ(parser.count(), 19);
    const char* argv[] = {"helper", "--a", "first", "--j", "tenth", "--k=eleventh", "--s", "last", nullptr};
    parser.parse(8, argv);
    EXPECT_STREQ(parser.getValue("a"), "first");
    EXPECT_STREQ(parser.getValue("j"), "tenth");
    EXPECT_STREQ(parser.getValue("k"), "eleventh");
    EXPECT_STREQ(parser.getValue("s"), "last");
    EXPECT_EQ(parser.getValue("r"), nullptr);
}

// The value table keeps the size it was made with; under the sanitizers a
// slot past it would be caught in the parse, the queries or the destructor.
TEST(OptionParser, DeclarationsAfterTheFirstQueryHaveNoSlot) {
    static const char* const late[] = {"l0", "l1", "l2", "l3", "l4", "l5", "l6", "l7", "l8", "l9", "l10", "l11"};
    for (const bool parsedFirst : {true, false}) {
        OptionParser parser;
        parser.addOption("ms");
        const char* first[] = {"helper", "--ms", "5", nullptr};
        if (parsedFirst)
            parser.parse(3, first);
        else
            EXPECT_EQ(parser.getValue("ms"), nullptr);
        for (int i = 0; i < 12; ++i)
            i % 2 ? parser.addFlag(late[i]) : parser.addOption(late[i]);
        EXPECT_EQ(parser.capacity(), 20);
        const char* argv[] = {"helper", "--l0", "x", "--l1", "--l10=y", "--l11", "--ms=7", nullptr};
        parser.parse(7, argv);
        for (const char* name : late) {
            EXPECT_EQ(parser.getValue(name), nullptr) << name;
            EXPECT_FALSE(parser.getFlag(name)) << name;
        }
        EXPECT_STREQ(parser.getValue("ms"), "7");
    }
}

// Allocation failures, injected through the parser's allocation hook.
int allocationsLeft = 0;
void* failingRealloc(void* p, std::size_t n) { return allocationsLeft-- > 0 ? std::realloc(p, n) : nullptr; }

TEST(OptionParserDeathTest, FailedMakingPrintsAndExitsWithZero) {
    EXPECT_EXIT(
        {
            allocationsLeft = 1;
            OptionParser::reallocate = failingRealloc;
            OptionParser::messages = stderr;
            OptionParser parser;
        },
        testing::ExitedWithCode(0), "^\r?\nOPTIONS ERROR : Failed allocating memory\r?\nExiting\\.\r?\n$");
}

TEST(OptionParserDeathTest, FailedGrowingNamesTheOption) {
    EXPECT_EXIT(
        {
            OptionParser parser;
            for (int i = 0; i < 10; ++i)
                parser.addFlag("x");
            allocationsLeft = 0;
            OptionParser::reallocate = failingRealloc;
            OptionParser::messages = stderr;
            parser.addOption("eleventh");
        },
        testing::ExitedWithCode(0),
        "^\r?\nOPTIONS ERROR : Failed allocating extra memory \r?\nWhile adding the option : "
        "\"eleventh\"\r?\nExiting\\.\r?\n\r?\n$");
}

} // namespace
