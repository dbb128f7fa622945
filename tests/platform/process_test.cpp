#include "platform/process.h"

#include "platform/clock.h"
#include "platform/process_system.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Arguments = std::vector<std::string>;

#ifdef _WIN32
// Wine takes a Unix path as one on the current drive; the helper's own
// separators turn it into "\work\...", so the drive is named.
const std::string recorder = std::string("Z:") + RECORD_ARGS_PATH;
const std::string holder = std::string("Z:") + HOLD_FILE_PATH;
void setVariable(const char* name, const std::string& value) { SetEnvironmentVariableA(name, value.c_str()); }
#else
const std::string recorder = RECORD_ARGS_PATH;
const std::string holder = HOLD_FILE_PATH;
void setVariable(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
#endif

// Waits up to 10 s for a file that a child writes whole; its content.
std::string awaitFile(const std::string& path) {
    // Under Wine the child's rename holds the new name open for a moment
    // after it appears, without read sharing: a read then finds nothing, and
    // is tried again. What the children write is never empty.
    std::string text;
    for (int tries = 0; tries < 1000 && (text = readFile(path)).empty(); ++tries)
        Platform::sleepMs(10);
    return text;
}

// The arguments after the program that a child started with `words` got.
Arguments childArguments(const ScratchFolder& scratch, const Arguments& words) {
    static int run = 0;
    const std::string record = scratch.path("record-" + std::to_string(++run));
    setVariable("RECORD_ARGS_FILE", record);
    EXPECT_EQ(startProcess(recorder, words), 0);
    const std::string fields = awaitFile(record);
    Arguments arguments;
    for (std::size_t start = 0, end; (end = fields.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(fields.substr(start, end - start));
    // Drop the command line and the program.
    return arguments.size() < 2 ? arguments : Arguments(arguments.begin() + 2, arguments.end());
}

// A child of the helper that writes its process id and ends after `holdMs`.
std::uint32_t startHolder(const ScratchFolder& scratch, unsigned long holdMs) {
    const std::string pidFile = scratch.path("pid-" + std::to_string(holdMs));
    EXPECT_EQ(startProcess(holder, {pidFile, std::to_string(holdMs)}), 0);
    return static_cast<std::uint32_t>(std::strtoul(awaitFile(pidFile).c_str(), nullptr, 10));
}

TEST(BuildCommandLine, QuotesByTheInverseOfTheSplittingRules) {
    const struct {
        Arguments arguments;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{"abc"}, "abc "},
        {{""}, "\"\" "},
        {{"a", "", "b"}, "a \"\" b "},
        {{"a b"}, "\"a b\" "},
        {{"C:\\Program Files\\App\\app.exe", "--relaunch", "a b"},
         "\"C:\\Program Files\\App\\app.exe\" --relaunch \"a b\" "},
        {{"\"already quoted\""}, "\"\\\"already quoted\\\"\" "},
        {{"a\"b"}, "\"a\\\"b\" "},
        {{"tab\there"}, "\"tab\there\" "},
        {{"line\nfeed"}, "\"line\nfeed\" "},
        {{"C:\\dir\\"}, "C:\\dir\\ "},
        {{"x\\\"y z"}, "\"x\\\\\\\"y z\" "},
        {{"C:\\Program Files\\App\\"}, "\"C:\\Program Files\\App\\\\\" "},
        {{"a\\\\\"b"}, "\"a\\\\\\\\\\\"b\" "},
        {{"a\\ b"}, "\"a\\ b\" "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(buildCommandLine(c.arguments), c.text) << testing::PrintToString(c.arguments);
}

TEST(IsBatchFileName, KnowsTheNamesWindowsHandsToCmd) {
    for (const char* batch : {"run.bat", "C:\\app\\RUN.BAT", "dir/x.Cmd", "x.bat.", "x.bat ", "x.bat. . ",
                              "x.bat::$DATA", "x.BAT::$data", "C:x.bat", "x.cmd:stream", ".bat"})
        EXPECT_TRUE(isBatchFileName(batch)) << batch;
    for (const char* other : {"x.bat.exe", "x.batch", "x.bat\\y.exe", "x.bat/y", "x.ba t", "x.bat.txt::$DATA", ""})
        EXPECT_FALSE(isBatchFileName(other)) << other;
}

TEST(StartProcess, ChildSplitsTheWordsByTheWindowsRules) {
    ScratchFolder scratch;
    const struct {
        Arguments words;
        Arguments arguments;
    } cases[] = {
        {{}, {}},
        {{"a", "b"}, {"a", "b"}},
        {{"\"a", "b\"", "c"}, {"a b", "c"}},
        {{"a\"b", "c\"d"}, {"ab cd"}},
        {{"\"\"", "x"}, {"", "x"}},
        {{"a\\\\b"}, {"a\\\\b"}},
        {{"a\\\"b"}, {"a\"b"}},
        {{"a\\\\\"b", "c\""}, {"a\\b c"}},
        {{"\"a\\\\\"", "b"}, {"a\\", "b"}},
        {{"\"unclosed", "x"}, {"unclosed x "}}, // the space that follows each word is inside
        {{"\\"}, {"\\"}},
        // What buildCommandLine writes comes back as it was.
        {{buildCommandLine({"with space", "C:\\Program Files\\App\\", "", "he said \"hi\"", "a\\\"b", "\\\\\""})},
         {"with space", "C:\\Program Files\\App\\", "", "he said \"hi\"", "a\\\"b", "\\\\\""}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(childArguments(scratch, c.words), c.arguments) << testing::PrintToString(c.words);
}

TEST(StartProcess, ReportsWhyAStartFailed) {
    ScratchFolder scratch;
    writeFile(scratch.path("notes.txt"), "just text\n");
    writeFile(scratch.path("damaged.exe"), "MZ but nothing more");
#ifdef _WIN32
    const Platform::ErrorCode folder = 6; // Wine's answer; Windows says 5
#else
    const Platform::ErrorCode folder = 5;
    ::chmod(scratch.path("damaged.exe").c_str(), 0755);
#endif
    const struct {
        std::string path;
        Platform::ErrorCode code;
    } cases[] = {
        {scratch.path("missing.exe"), 2}, {scratch.path("no folder/missing.exe"), 3},
        {scratch.path("notes.txt"), 193}, {scratch.path("damaged.exe"), 193},
        {scratch.path(), folder},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(startProcess(c.path, {"a"}), -8) << c.path;
        const std::string logged = testing::internal::GetCapturedStderr();
        EXPECT_NE(logged.find(") Failed to start child process. "), std::string::npos) << logged;
        EXPECT_NE(logged.find(" Last error: " + std::to_string(c.code) + "\n"), std::string::npos) << logged;
    }
}

TEST(WaitForProcessExit, WaitsForARunningProcessOnlyAndNotForEver) {
    ScratchFolder scratch;
    const std::uint32_t ended = startHolder(scratch, 0);
    while (!processHasEnded(ended))
        Platform::sleepMs(10);
    const struct {
        const char* name;
        std::uint32_t pid;
        unsigned long timeoutMs;
        bool waits; // and logs
        bool exited;
        unsigned long leastMs;
    } cases[] = {
        {"no process", 0, 5000, false, true, 0},
        {"this process", Platform::currentProcessId(), 5000, false, true, 0},
        {"no such process", 99999942, 5000, false, true, 0},
        {"an ended process", ended, 5000, false, true, 0},
        {"ends in time", startHolder(scratch, 400), 5000, true, true, 200},
        {"runs on", startHolder(scratch, 1500), 300, true, false, 300},
    };
    const std::string me = "(" + std::to_string(Platform::currentProcessId()) + ") ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string process = "rocess " + std::to_string(c.pid);
        const std::string expected = !c.waits   ? ""
                                     : c.exited ? "INFO  " + me + "Waiting for p" + process + " to exit\nINFO  " + me +
                                                      "P" + process + " has exited\n"
                                                : "INFO  " + me + "Waiting for p" + process + " to exit\n";
        testing::internal::CaptureStderr();
        const std::uint64_t start = Platform::monotonicMs();
        EXPECT_EQ(waitForProcessExit(c.pid, c.timeoutMs), c.exited);
        const std::uint64_t took = Platform::monotonicMs() - start;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
        EXPECT_GE(took, c.leastMs);
        EXPECT_LT(took, c.leastMs + 2000);
        if (c.pid != Platform::currentProcessId()) {
            EXPECT_EQ(processHasEnded(c.pid), c.exited);
        }
    }
}

#ifndef _WIN32
char processState(std::uint32_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '-' : stat[close + 2];
}

// As a Windows child that inherits no handles: nothing of ours is open in
// it, and its standard streams lead nowhere. Left running, it is collected
// once it ends, not left behind as a zombie.
TEST(StartProcess, ChildInheritsNoDescriptorsAndIsCollected) {
    ScratchFolder scratch;
    const int leaked = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    const std::uint32_t pid = startHolder(scratch, 300);
    ::close(leaked);
    ASSERT_NE(pid, 0u);
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    std::vector<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator(fds))
        open.push_back(entry.path().filename().string() + " " + std::filesystem::read_symlink(entry).string());
    std::sort(open.begin(), open.end());
    EXPECT_EQ(open, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    char state = 'S';
    for (int i = 0; i < 300 && state != '-'; ++i) {
        Platform::sleepMs(10);
        state = processState(pid);
    }
    EXPECT_EQ(state, '-') << "left behind as a zombie";
}

// The zone setting this process makes for itself is not handed on.
TEST(StartProcess, ChildGetsTheEnvironmentAsGiven) {
    ScratchFolder scratch;
    ::unsetenv("TZ");
    loadLocalTimeZoneOnce();
    ASSERT_NE(std::getenv("TZ"), nullptr);
    const std::string environ = scratch.path("environ");
    EXPECT_EQ(
        startProcess("/bin/sh", {"-c", "\"env", ">" + environ + ".part;", "mv", environ + ".part", environ + "\""}), 0);
    const std::string seen = awaitFile(environ);
    ::unsetenv("TZ");
    EXPECT_NE(seen.find("PATH="), std::string::npos);
    EXPECT_EQ(seen.find("TZ="), std::string::npos) << seen;
}
#endif

} // namespace
