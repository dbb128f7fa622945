#include "platform/file_utils.h"

#include "platform/win32.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

// The exception text, or "" when the call succeeds.
std::string createDirectoriesFailure(const std::string& path, std::size_t existingLength = 0) {
    try {
        FileUtils::createDirectories(path.c_str(), existingLength);
    } catch (const FileUtils::IOException& e) {
        return e.what();
    }
    return "";
}

TEST(CreateDirectories, CreatesEveryMissingLevel) {
    ScratchFolder scratch;
    writeFile(scratch.path("file"), "x");
    FileUtils::createDirectory(scratch.path("old").c_str());
    const struct {
        std::string path;
        std::string folder; // what exists afterwards
    } cases[] = {
        {scratch.path("a/b/c"), scratch.path("a/b/c")},
        {scratch.path("a/b/c"), scratch.path("a/b/c")}, // all there already
        {scratch.path("old/new/"), scratch.path("old/new")},
        {scratch.path("d//e"), scratch.path("d/e")},
        {scratch.path("f/./g"), scratch.path("f/g")},
        {scratch.path("h/../i"), scratch.path("i")},
        {"", ""},
        {"/", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(createDirectoriesFailure(c.path), "") << c.path;
        if (!c.folder.empty()) {
            EXPECT_TRUE(FileUtils::directoryExists(c.folder.c_str())) << c.path;
        }
    }
}

TEST(CreateDirectories, PassesOverAnExistingFileButNotALevelBelowIt) {
    ScratchFolder scratch;
    writeFile(scratch.path("file"), "x");
    EXPECT_EQ(createDirectoriesFailure(scratch.path("file")), "");
    EXPECT_EQ(readFile(scratch.path("file")), "x");
    EXPECT_EQ(createDirectoriesFailure(scratch.path("file/sub/deeper")),
              "Unable to create directory " + scratch.path("file/sub") + " GetLastError returned: 3");
    // A trailing '/' asks for a folder: the file does not pass for one.
    const std::string asFolder = createDirectoriesFailure(scratch.path("file/"));
    EXPECT_EQ(asFolder.rfind("Unable to create directory " + scratch.path("file/") + " GetLastError returned: ", 0), 0u)
        << asFolder;
}

TEST(CreateDirectories, KeepsTheLevelsMadeBeforeAFailure) {
    ScratchFolder scratch;
    const std::string tooLong(300, 'n');
    const std::string failure = createDirectoriesFailure(scratch.path("one/two/" + tooLong + "/three"));
    EXPECT_EQ(failure.rfind(
                  "Unable to create directory " + scratch.path("one/two/" + tooLong) + " GetLastError returned: ", 0),
              0u)
        << failure;
    EXPECT_TRUE(FileUtils::directoryExists(scratch.path("one/two").c_str()));
}

TEST(CreateDirectories, DoesNotAskAgainAboutLevelsKnownToExist) {
    ScratchFolder scratch;
    const std::string known = scratch.path("missing");
    // Told that "missing" exists, it makes only the level below, which fails.
    EXPECT_EQ(createDirectoriesFailure(known + "/sub", known.size()),
              "Unable to create directory " + known + "/sub GetLastError returned: 3");
    EXPECT_FALSE(FileUtils::fileExists(known.c_str()));
    // A length that does not end before a '/' is no help and is ignored.
    EXPECT_EQ(createDirectoriesFailure(known + "/sub", known.size() - 1), "");
    EXPECT_EQ(createDirectoriesFailure(known + "/sub/a/b", known.size()), "");
    EXPECT_TRUE(FileUtils::directoryExists((known + "/sub/a/b").c_str()));
}

TEST(CreateDirectories, ReadsOnlySlashAsSeparator) {
    ScratchFolder scratch;
    const std::string path = scratch.path("m\\n");
#ifdef _WIN32
    // One component for us, two levels for the system: its parent is missing.
    EXPECT_EQ(createDirectoriesFailure(path), "Unable to create directory " + path + " GetLastError returned: 3");
#else
    EXPECT_EQ(createDirectoriesFailure(path), "");
    EXPECT_TRUE(FileUtils::directoryExists(path.c_str()));
    EXPECT_FALSE(FileUtils::fileExists(scratch.path("m").c_str()));
#endif
}

} // namespace
