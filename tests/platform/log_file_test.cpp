#include "platform/log_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

// What is at the names before the log's folder "logs" and its file "log" are
// opened, and what each open must answer. Links are planted natively only:
// Wine follows a symbolic link when it opens a name and cannot make a
// junction, so on Windows the refusal of both rests on the reparse tag
// check alone.
TEST(LogFile, OpensOnlyItsOwnFolderAndFileNeverThroughALink) {
    const struct {
        const char* what;
        std::function<void(const ScratchFolder&)> plant;
        const char* parent;                         // below the scratch folder
        Platform::ErrorCode folderError, fileError; // 0: opens
    } cases[] = {
        {"nothing yet", [](const ScratchFolder&) {}, "", 0, 0},
        {"both there",
         [](const ScratchFolder& s) { writeFile((fs::create_directory(s.path("logs")), s.path("logs/log")), "x"); }, "",
         0, 0},
        {"a file at the folder's name", [](const ScratchFolder& s) { writeFile(s.path("logs"), ""); }, "", 183, 6},
        {"the parent missing", [](const ScratchFolder&) {}, "missing", 3, 6},
        {"the parent a file", [](const ScratchFolder& s) { writeFile(s.path("file"), ""); }, "file", 3, 6},
        {"a folder at the file's name", [](const ScratchFolder& s) { fs::create_directories(s.path("logs/log")); }, "",
         0, 5},
#ifndef _WIN32
        {"a link at the folder's name",
         [](const ScratchFolder& s) {
             fs::create_directory(s.path("elsewhere"));
             fs::create_directory_symlink(s.path("elsewhere"), s.path("logs"));
         },
         "", 1921, 6},
        {"a dangling link at the folder's name",
         [](const ScratchFolder& s) { fs::create_directory_symlink(s.path("elsewhere"), s.path("logs")); }, "", 1921,
         6},
        {"a link at the file's name",
         [](const ScratchFolder& s) {
             fs::create_directory(s.path("logs"));
             writeFile(s.path("elsewhere"), "x");
             fs::create_symlink(s.path("elsewhere"), s.path("logs/log"));
         },
         "", 0, 1921},
        {"a dangling link at the file's name",
         [](const ScratchFolder& s) {
             fs::create_directory(s.path("logs"));
             fs::create_symlink(s.path("elsewhere"), s.path("logs/log"));
         },
         "", 0, 1921},
        {"a second name of another file",
         [](const ScratchFolder& s) {
             fs::create_directory(s.path("logs"));
             writeFile(s.path("elsewhere"), "x");
             fs::create_hard_link(s.path("elsewhere"), s.path("logs/log"));
         },
         "", 0, 1921},
        {"a pipe at the file's name",
         [](const ScratchFolder& s) {
             fs::create_directory(s.path("logs"));
             ::mkfifo(s.path("logs/log").c_str(), 0600);
         },
         "", 0, 1921},
#endif
    };
    for (const auto& c : cases) {
        ScratchFolder scratch;
        c.plant(scratch);
        const std::string elsewhere = scratch.path("elsewhere");
        const fs::file_type before = fs::symlink_status(elsewhere).type();
        FileUtils::HeldFolder folder;
        const bool folderOpened = Platform::holdLogFolder(scratch.path(c.parent), "logs", folder);
        EXPECT_EQ(folderOpened ? 0 : Platform::lastError(), c.folderError) << c.what;
        Platform::LogFile file;
        const bool fileOpened = file.open(folder, "log");
        EXPECT_EQ(fileOpened ? 0 : Platform::lastError(), c.fileError) << c.what;
        if (fileOpened) {
            EXPECT_TRUE(file.append("line\n", 5)) << c.what;
            const std::string log = readFile(scratch.path("logs/log"));
            EXPECT_EQ(log.substr(log.size() < 5 ? 0 : log.size() - 5), "line\n") << c.what;
        }
        // Nothing was made or written where a link points.
        EXPECT_EQ(fs::symlink_status(elsewhere).type(), before) << c.what;
        if (before == fs::file_type::regular) {
            EXPECT_EQ(readFile(elsewhere), "x") << c.what;
        } else if (before == fs::file_type::directory) {
            EXPECT_TRUE(fs::is_empty(elsewhere)) << c.what;
        }
    }
}

// The turn is one process's at a time and is given back.
TEST(LogFile, TurnIsExclusiveBetweenOpensAndReleased) {
    ScratchFolder scratch;
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(Platform::holdLogFolder(scratch.path(), "logs", folder));
    Platform::LogFile first, second;
    ASSERT_TRUE(first.open(folder, "log"));
    ASSERT_TRUE(second.open(folder, "log"));
    EXPECT_EQ(first.tryTurn(), Platform::LogFile::Turn::Taken);
    EXPECT_EQ(second.tryTurn(), Platform::LogFile::Turn::Busy);
    first.endTurn();
    EXPECT_EQ(second.tryTurn(), Platform::LogFile::Turn::Taken);
    second.endTurn();
    // The lock lies far past the end: appending and reading are not blocked.
    EXPECT_EQ(first.tryTurn(), Platform::LogFile::Turn::Taken);
    EXPECT_TRUE(second.append("cut", 3));
    EXPECT_TRUE(second.endsMidLine());
    first.endTurn();
}

} // namespace
