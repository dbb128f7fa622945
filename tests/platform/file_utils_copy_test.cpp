#include "platform/file_utils.h"

#include "platform/win32.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

// The message of the IOException thrown, or "" when nothing was thrown.
template <typename Operation> std::string failureOf(Operation operation) {
    try {
        operation();
    } catch (const FileUtils::IOException& e) {
        return e.what();
    }
    return "";
}

std::string copyFailure(const std::string& source, const std::string& destination,
                        unsigned long inUseMs = FileUtils::inUseRetryMs) {
    return failureOf([&] { FileUtils::copyFile(source.c_str(), destination.c_str(), inUseMs); });
}

std::string removeFailure(const std::string& path, unsigned long inUseMs = FileUtils::inUseRetryMs) {
    return failureOf([&] { FileUtils::removeFile(path.c_str(), inUseMs); });
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FileUtilsCopy, FailureKeepsTheDestinationAndReportsTheSystemCode) {
    ScratchFolder scratch;
    const std::string source = scratch.path("update.asar");
    const std::string destination = scratch.path("app.asar");
    std::filesystem::create_directory(scratch.path("folder"));
    const struct {
        const char* name;
        std::string from;
        std::string to;
        DWORD code;
    } cases[] = {
        {"missing source", scratch.path("missing"), destination, ERROR_FILE_NOT_FOUND},
        {"source folder missing", scratch.path("none/x"), destination, ERROR_PATH_NOT_FOUND},
        {"source is a folder", scratch.path("folder"), destination, ERROR_ACCESS_DENIED},
        {"destination is a folder", source, scratch.path("folder"), ERROR_ACCESS_DENIED},
        {"destination folder missing", source, scratch.path("none/app.asar"), ERROR_PATH_NOT_FOUND},
        {"empty destination", source, "", ERROR_PATH_NOT_FOUND},
        {"destination is the source", source, source, ERROR_SHARING_VIOLATION},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(source, "new");
        writeFile(destination, "old");
        EXPECT_EQ(copyFailure(c.from, c.to),
                  "Failed to copy " + c.from + " to " + c.to + " GetLastError returned: " + std::to_string(c.code));
        EXPECT_EQ(readFile(destination), "old");
        EXPECT_EQ(readFile(source), "new");
        EXPECT_EQ(namesIn(scratch.path()), (std::vector<std::string>{"app.asar", "folder", "update.asar"}));
    }
}

// Letting go in time is proven end to end, with another process holding it.
TEST(FileUtilsCopy, DestinationHeldTooLongIsNotTouched) {
    ScratchFolder scratch;
    const std::string destination = scratch.path("app.asar");
    writeFile(destination, "old");
    writeFile(scratch.path("new"), "new");
    for (const DWORD share : {FILE_SHARE_READ, FILE_SHARE_READ | FILE_SHARE_WRITE}) {
        SCOPED_TRACE(share);
        const HANDLE holder = CreateFileA(destination.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        testing::internal::CaptureStderr();
        // Denying writes stops the copy before it starts, denying deletes the swap after it.
        EXPECT_EQ(copyFailure(scratch.path("new"), destination, 300),
                  "Failed to copy " + scratch.path("new") + " to " + destination +
                      " GetLastError returned: " + (share == FILE_SHARE_READ ? "32" : "5"));
        const std::string log = testing::internal::GetCapturedStderr();
        CloseHandle(holder);
        EXPECT_EQ(log.find("WARN"), log.rfind("WARN")) << log;
        EXPECT_NE(log.find("WARN"), std::string::npos) << log;
        EXPECT_EQ(readFile(destination), "old");
        EXPECT_EQ(namesIn(scratch.path()), (std::vector<std::string>{"app.asar", "new"}));
    }
}

TEST(FileUtilsCopy, ASecondCopyToTheSameDestinationFailsAndSparesTheFirst) {
    ScratchFolder scratch;
    const std::string destination = scratch.path("app.asar");
    const std::string partial = destination + FileUtils::partialSuffix;
    writeFile(destination, "old");
    writeFile(scratch.path("new"), "new");
    // What a copy in progress holds.
    const HANDLE first =
        CreateFileA(partial.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(first, "first", 5, &written, nullptr));
    EXPECT_EQ(copyFailure(scratch.path("new"), destination),
              "Failed to copy " + scratch.path("new") + " to " + destination + " GetLastError returned: 32");
    CloseHandle(first);
    EXPECT_EQ(readFile(partial), "first");
    EXPECT_EQ(readFile(destination), "old");
}

TEST(FileUtilsRemove, DeletesAndPassesOverWhatIsMissing) {
    ScratchFolder scratch;
    const std::string file = scratch.path("update.asar");
    writeFile(file, "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(removeFailure(file), "");
    EXPECT_FALSE(FileUtils::fileExists(file.c_str()));
    EXPECT_EQ(removeFailure(file), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const std::string deep = scratch.path("none/update.asar");
    EXPECT_EQ(removeFailure(deep), "Unable to remove file " + deep + " GetLastError returned: 3");
}

TEST(FileUtilsRemove, FileHeldWithoutDeleteSharingIsTriedAgainAndNotParked) {
    ScratchFolder scratch;
    const std::string file = scratch.path("update.asar");
    for (const unsigned long heldMs : {300ul, 1500ul}) {
        SCOPED_TRACE(heldMs);
        writeFile(file, "x");
        const HANDLE holder = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        std::thread release([&] {
            Sleep(static_cast<DWORD>(heldMs));
            CloseHandle(holder);
        });
        testing::internal::CaptureStderr();
        const std::string failure = removeFailure(file, 800);
        const std::string log = testing::internal::GetCapturedStderr();
        release.join();
        EXPECT_EQ(failure, heldMs < 800 ? "" : "Unable to remove file " + file + " GetLastError returned: 32");
        EXPECT_EQ(FileUtils::fileExists(file.c_str()), heldMs >= 800);
        EXPECT_EQ(log.find("WARN"), log.rfind("WARN")) << log;
        EXPECT_EQ(log.find("Moving to"), std::string::npos) << log;
    }
}

} // namespace
