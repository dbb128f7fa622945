#include "log/logger.h"
#include "platform/clock.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

std::string pid() { return std::to_string(Platform::currentProcessId()); }

#ifdef _WIN32
const std::string eol = "\r\n";
#else
const std::string eol = "\n";
#endif

// A log folder "logs" made in a fresh scratch folder.
struct LogPlace {
    ScratchFolder scratch;
    FileUtils::HeldFolder folder;
    LogPlace() { EXPECT_TRUE(Platform::holdLogFolder(scratch.path(), "logs", folder)); }
    std::string path(const char* name) const { return scratch.path("logs/") + name; }
};

// What writeLine puts into a file.
std::string written(LogLevel level, const char* message) {
    LogPlace place;
    {
        Platform::LogFile file;
        EXPECT_TRUE(file.open(place.folder, "line"));
        Logger::writeLine(file, level, message);
    }
    return readFile(place.path("line"));
}

TEST(Logger, LineLayoutPerLevel) {
    const struct {
        LogLevel level;
        const char* message;
        std::string expected;
    } cases[] = {
        {INFO, "Sleep completed", "INFO  (" + pid() + ") Sleep completed" + eol},
        {WARN, "careful", "WARN  (" + pid() + ") careful" + eol},
        {ERROR, "broken", "ERROR (" + pid() + ") broken" + eol},
        {INFO, "", "INFO  (" + pid() + ") " + eol},
        // No message can end its line, start another or drive a terminal.
        {ERROR, "two\nlines", "ERROR (" + pid() + ") two\\nlines" + eol},
        {INFO, "x\r\nINFO  (1) forged\r\n", "INFO  (" + pid() + ") x\\r\\nINFO  (1) forged\\r\\n" + eol},
        {WARN, "\x1b[2K\t\x01\x1f\x7f", "WARN  (" + pid() + ") \\x1b[2K\\t\\x01\\x1f\\x7f" + eol},
        {INFO, "already \\n escaped", "INFO  (" + pid() + ") already \\n escaped" + eol},
        {INFO, "bytes \xE5\xBC\xA0 \xFC kept", "INFO  (" + pid() + ") bytes \xE5\xBC\xA0 \xFC kept" + eol},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written(c.level, c.message), c.expected);
}

TEST(Logger, UnicodeLineBreaksAndC1ControlsAreEscaped) {
    // Only their well-formed UTF-8 forms: any other byte may be part of a
    // path in the system's code page and stays.
    const struct {
        const char* message;
        const char* expected;
    } cases[] = {
        {"a\xC2\x85"
         "b",
         "a\\u0085b"},
        {"\xE2\x80\xA8line\xE2\x80\xA9para", "\\u2028line\\u2029para"},
        {"\xC2\x80\xC2\x9B[2K\xC2\x9F", "\\u0080\\u009b[2K\\u009f"},
        {"\x1b\xC2\x85\n", "\\x1b\\u0085\\n"},
        // Neighbours and broken forms are no controls.
        {"\xC2\xA0 \xC2\x7F \xE2\x80\xAA \xE2\x80\xA7", "\xC2\xA0 \xC2\\x7f \xE2\x80\xAA \xE2\x80\xA7"},
        {"cut \xE2\x80\xC2", "cut \xE2\x80\xC2"},
        {"\x85 \xC3\x85 \xE2\xC2\x85", "\x85 \xC3\x85 \xE2\\u0085"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written(INFO, c.message), "INFO  (" + pid() + ") " + c.expected + eol) << c.expected;
}

TEST(Logger, LongLineIsWrittenWhole) {
    // An escaped control character takes four bytes: across the 1 KB buffer too.
    for (const std::size_t size : {1000u, 1023u, 1024u, 100000u}) {
        const std::string message = std::string(size, 'x') + std::string(size / 4, '\x1b');
        std::string printed(size, 'x');
        for (std::size_t i = 0; i < size / 4; ++i)
            printed += "\\x1b";
        EXPECT_EQ(written(WARN, message.c_str()), "WARN  (" + pid() + ") " + printed + eol);
    }
}

// A line cut short (a full disk, a killed writer) must not have the next
// process's first line glued to it.
TEST(Logger, OpensOntoAFreshLine) {
    const std::string line = "INFO  (" + pid() + ") next" + eol;
    const struct {
        std::string before, after;
    } cases[] = {
        {"", line},
        {"INFO  (7) whole" + eol, "INFO  (7) whole" + eol + line},
        {"ERROR ", "ERROR " + eol + line},
        {"ERROR (7) Failed to co", "ERROR (7) Failed to co" + eol + line},
        {"INFO  (7) whole\r", "INFO  (7) whole\r" + eol + line},
    };
    for (const auto& c : cases) {
        LogPlace place;
        const std::string path = place.path("update-log.txt");
        if (!c.before.empty())
            writeFile(path, c.before);
        {
            Logger logger;
            logger.open(place.folder, "update-log.txt");
            logger.log(INFO, "next");
            logger.log(INFO, "next");
        }
        EXPECT_EQ(readFile(path), c.after + line) << c.before;
    }
}

TEST(Logger, InstanceIsTheOneStaticObject) {
    ASSERT_NE(Logger::instance(), nullptr);
    EXPECT_EQ(Logger::instance(), Logger::instance());
}

} // namespace

namespace {

TEST(Logger, AppendsToTheFileAcrossOpens) {
    LogPlace place;
    const std::string path = place.path("update-log.txt");
    {
        Logger first;
        first.open(place.folder, "update-log.txt");
        first.log(INFO, "one");
    }
    {
        Logger second;
        second.open(place.folder, "update-log.txt");
        second.log(ERROR, std::string("two"));
    }
    EXPECT_EQ(readFile(path), "INFO  (" + pid() + ") one" + eol + "ERROR (" + pid() + ") two" + eol);
}

TEST(Logger, OpenFailuresAreSilentAndLinesGoToStandardErrorOnly) {
    ScratchFolder scratch;
    FileUtils::HeldFolder unopened;
    EXPECT_FALSE(Platform::holdLogFolder(scratch.path("missing"), "logs", unopened));
    Logger logger;
    logger.open(unopened, "update-log.txt");
    testing::internal::CaptureStderr();
    logger.log(WARN, "still logged");
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("still logged") != std::string::npos, true);
    EXPECT_FALSE(std::filesystem::exists(scratch.path("missing")));
}

TEST(Logger, SecondOpenKeepsTheFirstFile) {
    LogPlace place;
    Logger logger;
    logger.open(place.folder, "a.txt");
    logger.log(INFO, "before");
    logger.open(place.folder, "b.txt");
    logger.log(INFO, "after");
    EXPECT_NE(readFile(place.path("a.txt")).find(") before"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(place.path("b.txt")));
}

} // namespace

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Several processes appending long lines to one log at once: every line must
// arrive whole and none may be lost.
TEST(Logger, ConcurrentProcessesNeitherLoseNorTearLines) {
    LogPlace place;
    const std::string path = place.path("update-log.txt");
    const int processes = 6;
    const int linesEach = 2000;
    std::vector<pid_t> children;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    for (int p = 0; p < processes; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Start together: wait until the parent closes the gate.
            close(gate[1]);
            char byte;
            while (read(gate[0], &byte, 1) > 0) {
            }
            Logger logger;
            logger.open(place.folder, "update-log.txt");
            std::fclose(stderr); // keep the test output readable; the file is what counts
            for (int i = 0; i < linesEach; ++i) {
                // Lengths straddle the stream buffer so both write paths are used.
                const std::string message(static_cast<size_t>(100 + (i * 97) % 3000), static_cast<char>('a' + p));
                logger.log(INFO, message);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    for (const pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string log = readFile(path);
    std::map<pid_t, int> perProcess;
    size_t start = 0;
    int lines = 0;
    while (start < log.size()) {
        const size_t end = log.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = log.substr(start, end - start);
        const size_t close = line.find(") ");
        ASSERT_EQ(line.compare(0, 7, "INFO  ("), 0) << line.substr(0, 40);
        ASSERT_NE(close, std::string::npos);
        const std::string message = line.substr(close + 2);
        ASSERT_FALSE(message.empty());
        EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos) << "torn line";
        ++perProcess[static_cast<pid_t>(std::stol(line.substr(7, close - 7)))];
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, processes * linesEach);
    EXPECT_EQ(perProcess.size(), static_cast<size_t>(processes));
}

} // namespace
#endif
