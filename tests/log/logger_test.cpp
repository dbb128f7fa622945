#include "log/logger.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

std::string pid() { return std::to_string(static_cast<unsigned long>(GetCurrentProcessId())); }

TEST(Logger, LineLayoutPerLevel) {
    const struct {
        LogLevel level;
        const char *message;
        std::string expected;
    } cases[] = {
        {INFO, "Sleep completed", "INFO  (" + pid() + ") Sleep completed\n"},
        {WARN, "careful", "WARN  (" + pid() + ") careful\n"},
        {ERROR, "broken", "ERROR (" + pid() + ") broken\n"},
        {INFO, "", "INFO  (" + pid() + ") \n"},
        {ERROR, "two\nlines", "ERROR (" + pid() + ") two\nlines\n"},
        {INFO, "bytes \xE5\xBC\xA0 \xFC kept", "INFO  (" + pid() + ") bytes \xE5\xBC\xA0 \xFC kept\n"},
    };
    for (const auto &c : cases) {
        std::ostringstream out;
        Logger::writeLine(out, c.level, c.message);
        EXPECT_EQ(out.str(), c.expected);
    }
}

TEST(Logger, LongLineIsWrittenWhole) {
    std::ostringstream out;
    const std::string message(100000, 'x');
    Logger::writeLine(out, WARN, message.c_str());
    EXPECT_EQ(out.str(), "WARN  (" + pid() + ") " + message + "\n");
}

TEST(Logger, InstanceIsTheOneStaticObject) {
    ASSERT_NE(Logger::instance(), nullptr);
    EXPECT_EQ(Logger::instance(), Logger::instance());
}

} // namespace

#include "test_support.h"

namespace {

TEST(Logger, AppendsToTheFileAcrossOpens) {
    ScratchFolder scratch;
    const std::string path = scratch.path("update-log.txt");
    {
        Logger first;
        first.open(path);
        first.log(INFO, "one");
    }
    {
        Logger second;
        second.open(path);
        second.log(ERROR, std::string("two"));
    }
#ifdef _WIN32
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    EXPECT_EQ(readFile(path), "INFO  (" + pid() + ") one" + eol + "ERROR (" + pid() + ") two" + eol);
}

TEST(Logger, OpenFailuresAreSilentAndLinesGoToStandardErrorOnly) {
    ScratchFolder scratch;
    Logger logger;
    logger.open(scratch.path("missing/update-log.txt"));
    testing::internal::CaptureStderr();
    logger.log(WARN, "still logged");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("still logged") != std::string::npos, true);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("missing")));
}

TEST(Logger, SecondOpenKeepsTheFirstFile) {
    ScratchFolder scratch;
    Logger logger;
    logger.open(scratch.path("a.txt"));
    logger.log(INFO, "before");
    logger.open(scratch.path("b.txt"));
    logger.log(INFO, "after");
    EXPECT_NE(readFile(scratch.path("a.txt")).find(") before"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("b.txt")));
}

} // namespace
