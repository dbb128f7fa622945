#include "platform/error_code.h"
#include "platform/file_utils.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(FileUtils, ExistenceTests) {
    ScratchFolder scratch;
    writeFile(scratch.path("file.txt"), "x");
    const struct {
        std::string path;
        bool exists;
        bool isDirectory;
    } cases[] = {
        {scratch.path(), true, true},
        {scratch.path("file.txt"), true, false},
        {scratch.path("missing"), false, false},
        {scratch.path("missing/deeper"), false, false},
        {scratch.path("file.txt/below"), false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileUtils::fileExists(c.path.c_str()), c.exists) << c.path;
        EXPECT_EQ(FileUtils::directoryExists(c.path.c_str()), c.isDirectory) << c.path;
    }
}

std::string createDirectoryFailure(const std::string& path) {
    try {
        FileUtils::createDirectory(path.c_str());
    } catch (const FileUtils::IOException& e) {
        return e.what();
    }
    return "";
}

TEST(FileUtils, CreateDirectoryMakesOneLevelAndReportsTheSystemCode) {
    ScratchFolder scratch;
    const std::string made = scratch.path("made");
    EXPECT_EQ(createDirectoryFailure(made), "");
    EXPECT_TRUE(FileUtils::directoryExists(made.c_str()));

    EXPECT_EQ(createDirectoryFailure(made), "Unable to create directory " + made + " GetLastError returned: 183");
    const std::string deep = scratch.path("no/such");
    EXPECT_EQ(createDirectoryFailure(deep), "Unable to create directory " + deep + " GetLastError returned: 3");
}

TEST(FileUtils, ExceptionMessageEndsInTheLastErrorCode) {
    for (Platform::ErrorCode code : {0u, 2u, 5u, 4294967295u}) {
        Platform::setLastError(code);
        const FileUtils::IOException e("text");
        EXPECT_EQ(std::string(e.what()), "text GetLastError returned: " + std::to_string(code));
        const FileUtils::IOException copy = e;
        EXPECT_STREQ(copy.what(), e.what());
    }
}

TEST(FileUtils, SeparatorConversions) {
    EXPECT_EQ(FileUtils::toForwardSlashes("C:\\Users\\u\\AppData\\Local"), "C:/Users/u/AppData/Local");
    EXPECT_EQ(FileUtils::toBackslashes("C:/Users/u/AppData/Local"), "C:\\Users\\u\\AppData\\Local");
    EXPECT_EQ(FileUtils::toForwardSlashes("plain.txt"), "plain.txt");
    EXPECT_EQ(FileUtils::toBackslashes("plain.txt"), "plain.txt");
    EXPECT_EQ(FileUtils::toForwardSlashes("\\\\server\\share/x"), "//server/share/x");
    EXPECT_EQ(FileUtils::toBackslashes(""), "");
    const struct {
        const char* path;
        const char* folder;
        const char* name;
    } splits[] = {
        {"app.asar", ".", "app.asar"},
        {"/app.asar", "/", "app.asar"},
        {"C:\\x\\app.asar", "C:\\x", "app.asar"},
        {"a/b\\c", "a/b", "c"},
        {"dir/", "dir", ""},
        {"", ".", ""},
    };
    for (const auto& split : splits) {
        const FileUtils::FolderAndName parts = FileUtils::splitAtLastSeparator(split.path);
        EXPECT_EQ(parts.folder, split.folder) << split.path;
        EXPECT_EQ(parts.name, split.name) << split.path;
    }
}

TEST(FileUtils, LooksAtAPathAndMakesAFolderWithTheSystemsCodes) {
    ScratchFolder scratch;
    writeFile(scratch.path("file"), "x");
    const struct {
        const char* name;
        bool made;
        Platform::ErrorCode code; // when not made
        bool exists, folder;      // afterwards
    } cases[] = {
        {"new", true, 0, true, true},
        {"new", false, 183, true, true},
        {"file", false, 183, true, false},
        {"no/such", false, 3, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scratch.path(c.name);
        EXPECT_EQ(FileUtils::makeFolder(path.c_str()), c.made);
        if (!c.made) {
            EXPECT_EQ(Platform::lastError(), c.code);
        }
        const FileUtils::PathLook look = FileUtils::lookAt(path.c_str());
        EXPECT_EQ(look.exists, c.exists);
        EXPECT_EQ(look.folder, c.folder);
        EXPECT_FALSE(look.link);
    }
    unsigned char bytes[2][16] = {};
    EXPECT_TRUE(FileUtils::systemRandom(bytes[0], sizeof bytes[0]) && FileUtils::systemRandom(bytes[1], 16));
    EXPECT_NE(std::string(bytes[0], bytes[0] + 16), std::string(bytes[1], bytes[1] + 16));
}

} // namespace
