#include "app/command_dispatcher.h"
#include "commands/commands.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The record_args test program stands in for this helper as argv[0], so the
// elevated start shows exactly which arguments the copy would receive.
#ifdef _WIN32
const std::string recorder = std::string("Z:") + RECORD_ARGS_PATH;
void setRecordFile(const std::string& path) { SetEnvironmentVariableA("RECORD_ARGS_FILE", path.c_str()); }
#else
const std::string recorder = RECORD_ARGS_PATH;
void setRecordFile(const std::string& path) { setenv("RECORD_ARGS_FILE", path.c_str(), 1); }
#endif

std::vector<std::string> recordedArguments(const std::string& path) {
    const std::string record = readFile(path);
    std::vector<std::string> fields;
    for (std::size_t start = 0, end; (end = record.find('\0', start)) != std::string::npos; start = end + 1)
        fields.push_back(record.substr(start, end - start));
    // Drop the command line and the program.
    return fields.size() < 2 ? fields : std::vector<std::string>(fields.begin() + 2, fields.end());
}

int elevate(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    OptionParser options;
    declareOptions(options);
    return elevateCommand(options, static_cast<int>(arguments.size()), argv.data());
}

class ElevateCommand : public testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        if (geteuid() != 0)
            GTEST_SKIP() << "elevates directly only as root; otherwise pkexec would ask";
#endif
        setRecordFile(scratch.path("record.bin"));
    }
    ScratchFolder scratch;
};

TEST_F(ElevateCommand, CopyReceivesEverythingButTheElevateFlagAndTheLaunch) {
    const int status = elevate({recorder,      "--elevate",  "--update",     "--elevate=yes",
                                "with space",  "trailing\\", "two words\\",  "--ms",
                                "5",           "--elevate",  "-elevate",     "--elevated",
                                "--Elevate",   "--elevate=", "x=--elevate",  "--launch",
                                "--program",   "C:/app.exe", "--args=a b",   "--launchAfterFailure",
                                "--value",     "--launch",   "--runId",      "r1",
                                "--waitLimit", "500",        "--waitLimit=7"});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(recordedArguments(scratch.path("record.bin")),
              (std::vector<std::string>{"--update", "with space", "trailing\\", "two words\\", "--ms", "5", "-elevate",
                                        "--elevated", "--Elevate", "x=--elevate", "--value", "--launch", "--runId",
                                        "r1", "--waitLimit", "500", "--waitLimit=7"}));
}

// The run's status is the copy's: the recorder ends with 2 when it has no
// file to record to.
TEST_F(ElevateCommand, CopysStatusIsTheRunsStatus) {
    setRecordFile("");
    EXPECT_EQ(elevate({recorder, "--elevate", "--update"}), 2);
}

TEST_F(ElevateCommand, NothingLeftToHandOn) {
    EXPECT_EQ(elevate({recorder, "--elevate"}), 0);
    EXPECT_EQ(recordedArguments(scratch.path("record.bin")), std::vector<std::string>{});
}

TEST_F(ElevateCommand, CopyThatCannotStartEndsWithStatus1) {
    EXPECT_EQ(elevate({scratch.path("missing.exe"), "--elevate", "--sleep"}), 1);
}

} // namespace
