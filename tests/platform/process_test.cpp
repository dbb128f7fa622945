#include "platform/process.h"

#include "platform/file_utils.h"
#include "platform/win32.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Arguments = std::vector<std::string>;

// The system's own splitter where there is one, so that the same table
// checks our stand-in natively and the real rules under Windows.
Arguments split(const std::string& commandLine) {
#ifdef _WIN32
    const std::wstring wide(commandLine.begin(), commandLine.end()); // the table is ASCII
    int count = 0;
    LPWSTR* parts = CommandLineToArgvW(wide.c_str(), &count);
    Arguments result;
    for (int i = 0; i < count; ++i) {
        const std::wstring part(parts[i]);
        result.emplace_back(part.begin(), part.end());
    }
    LocalFree(parts);
    return result;
#else
    return splitCommandLine(commandLine.c_str());
#endif
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

TEST(SplitCommandLine, FollowsTheWindowsRules) {
    const struct {
        std::string text;
        Arguments arguments;
    } cases[] = {
        {"prog", {"prog"}},
        {"prog a b", {"prog", "a", "b"}},
        {"prog  a \t b  ", {"prog", "a", "b"}},
        {"\"C:\\Program Files\\p.exe\" x", {"C:\\Program Files\\p.exe", "x"}},
        {"C:\\dir\\p.exe\\ x", {"C:\\dir\\p.exe\\", "x"}},
        {"\"C:\\a b\\\"rest", {"C:\\a b\\", "rest"}},
        {"p \"a b\" c", {"p", "a b", "c"}},
        {"p a\"b c\"d", {"p", "ab cd"}},
        {"p \"\" x", {"p", "", "x"}},
        {"p \"\"", {"p", ""}},
        {"p a\\\\b", {"p", "a\\\\b"}},
        {"p a\\\"b", {"p", "a\"b"}},
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},
        {"p \"a\\\\\" b", {"p", "a\\", "b"}},
        {"p \"a\"\"b\" c", {"p", "a\"b c"}},
        {"p \"\"\"", {"p", "\""}},
        {"p \"\"\"\" x", {"p", "\" x"}},
        {"p \"unclosed x", {"p", "unclosed x"}},
        {"p \\", {"p", "\\"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.text), c.arguments) << c.text;
}

// What buildCommandLine writes, the child reads back as the same list,
// whatever the arguments hold.
TEST(BuildCommandLine, ChildReadsTheArgumentsBack) {
    const Arguments lists[] = {
        {"prog", "plain", "with space", "C:\\Program Files\\App\\", "two  spaces", "back\\slash"},
        {"C:\\Program Files\\App\\app.exe", "a b\\\\", "\\\\server\\share x\\"},
        {"prog", "trailing\\", "\\", "", "\"", "\"\"", "\" \""},
        {"prog", "he said \"hi\" there", "a\"b", "x\\\"y z", "tab\tsep", "\\\\\"", "a\\\\\\\"b\\\\", "\"x y\\\""},
        {"prog", "", "", "--key", "", "--value", "V1"},
    };
    for (const auto& list : lists)
        EXPECT_EQ(split(buildCommandLine(list)), list) << buildCommandLine(list);
}

DWORD startFailure(const std::string& path) {
    const std::string program = FileUtils::toSystemSeparators(path);
    std::string commandLine = buildCommandLine({program});
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    return GetLastError();
}

TEST(ProcessStart, ReportsWhyAStartFailed) {
    ScratchFolder scratch;
    writeFile(scratch.path("notes.txt"), "just text\n");
    writeFile(scratch.path("damaged.exe"), "MZ but nothing more");
#ifdef _WIN32
    const DWORD folder = 6; // Wine's answer; Windows says 5
#else
    const DWORD folder = ERROR_ACCESS_DENIED;
    ::chmod(scratch.path("damaged.exe").c_str(), 0755);
#endif
    const struct {
        std::string path;
        DWORD code;
    } cases[] = {
        {scratch.path("missing.exe"), ERROR_FILE_NOT_FOUND},
        {scratch.path("no folder/missing.exe"), ERROR_PATH_NOT_FOUND},
        {scratch.path("notes.txt"), ERROR_BAD_EXE_FORMAT},
        {scratch.path("damaged.exe"), ERROR_BAD_EXE_FORMAT},
        {scratch.path(), folder},
    };
    for (const auto& c : cases)
        EXPECT_EQ(startFailure(c.path), c.code) << c.path;
}

TEST(StartProcess, FailureIsMinusEight) {
    ScratchFolder scratch;
    EXPECT_EQ(startProcess(scratch.path("missing.exe"), {"a"}), -8);
}

// A record_args child that ends after `holdMs`; its process id.
DWORD startChild(const ScratchFolder& scratch, unsigned long holdMs, PROCESS_INFORMATION& process) {
    const std::string hold = std::to_string(holdMs);
    const std::string record = scratch.path("record-" + hold);
#ifdef _WIN32
    SetEnvironmentVariableA("RECORD_ARGS_FILE", record.c_str());
    SetEnvironmentVariableA("RECORD_ARGS_HOLD_MS", hold.c_str());
#else
    ::setenv("RECORD_ARGS_FILE", record.c_str(), 1);
    ::setenv("RECORD_ARGS_HOLD_MS", hold.c_str(), 1);
#endif
    std::string commandLine = RECORD_ARGS_PATH;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    process = PROCESS_INFORMATION{};
    EXPECT_TRUE(CreateProcessA(RECORD_ARGS_PATH, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    return process.dwProcessId;
}

TEST(WaitForProcessExit, WaitsForARunningProcessOnlyAndNotForEver) {
    ScratchFolder scratch;
    PROCESS_INFORMATION ended{}, quick{}, slow{};
    startChild(scratch, 0, ended);
    WaitForSingleObject(ended.hProcess, INFINITE); // ended, its handle still open
    const struct {
        const char* name;
        DWORD pid;
        unsigned long timeoutMs;
        bool waits; // and logs
        bool exited;
        unsigned long leastMs;
    } cases[] = {
        {"no process", 0, 5000, false, true, 0},
        {"this process", GetCurrentProcessId(), 5000, false, true, 0},
        {"no such process", 99999942, 5000, false, true, 0},
        {"an ended process", ended.dwProcessId, 5000, false, true, 0},
        {"ends in time", startChild(scratch, 400, quick), 5000, true, true, 300},
        {"runs on", startChild(scratch, 1500, slow), 300, true, false, 300},
    };
    const std::string me = "(" + std::to_string(GetCurrentProcessId()) + ") ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string process = "rocess " + std::to_string(c.pid);
        const std::string expected = !c.waits   ? ""
                                     : c.exited ? "INFO  " + me + "Waiting for p" + process + " to exit\nINFO  " + me +
                                                      "P" + process + " has exited\n"
                                                : "INFO  " + me + "Waiting for p" + process + " to exit\n";
        testing::internal::CaptureStderr();
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(waitForProcessExit(c.pid, c.timeoutMs), c.exited);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
        EXPECT_GE(took, c.leastMs);
        EXPECT_LT(took, c.leastMs + 2000);
    }
    for (PROCESS_INFORMATION* process : {&ended, &quick, &slow}) {
        WaitForSingleObject(process->hProcess, INFINITE);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
    }
}

#ifndef _WIN32
// As a Windows child that inherits no handles: nothing of ours is open in
// it, and its standard streams lead nowhere.
TEST(ProcessStart, ChildInheritsNoDescriptors) {
    const int leaked = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    std::string commandLine = "sleep 5";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA("/bin/sleep", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    ::close(leaked);
    // The child opens files of its own while it starts (its libraries, the
    // locale): look once it has settled into its sleep.
    const std::string proc = "/proc/" + std::to_string(process.dwProcessId);
    for (int tries = 0; tries < 500 && readFile(proc + "/wchan").find("nanosleep") == std::string::npos; ++tries)
        Sleep(10);
    const std::filesystem::path fds = proc + "/fd";
    std::vector<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator(fds))
        open.push_back(entry.path().filename().string() + " " + std::filesystem::read_symlink(entry).string());
    std::sort(open.begin(), open.end());
    EXPECT_EQ(open, (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    ::kill(static_cast<pid_t>(process.dwProcessId), SIGKILL);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, INFINITE), WAIT_OBJECT_0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

char processState(DWORD pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '-' : stat[close + 2];
}

// A child whose handle is closed without a wait is collected once it ends,
// and waiting with a time-out does not wait for ever.
TEST(ProcessStart, ChildLeftRunningIsReapedWhenItEnds) {
    std::string commandLine = "sleep 0.3";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessA("/bin/sleep", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 50), WAIT_TIMEOUT);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_NE(processState(process.dwProcessId), '-'); // still running
    char state = 'S';
    for (int i = 0; i < 200 && state != '-'; ++i) {
        Sleep(10);
        state = processState(process.dwProcessId);
    }
    EXPECT_EQ(state, '-') << "left behind as a zombie";
}
#endif

} // namespace
