#include "platform/file_utils.h"

#include "platform/win32.h"
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
    for (DWORD code : {0u, 2u, 5u, 4294967295u}) {
        SetLastError(code);
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

// The code of a call that failed, read at once; 0 when it succeeded.
DWORD failure(BOOL done) { return done ? 0u : GetLastError(); }

TEST(Win32FileCalls, ReportTheCodeOfThePathThatFailed) {
    ScratchFolder scratch;
    const std::string file = scratch.path("file"), other = scratch.path("other");
    writeFile(file, "x");
    writeFile(other, "y");
    const std::string missing = scratch.path("missing"), noFolder = scratch.path("no/such");
    const struct {
        const char* name;
        DWORD code;
        DWORD expected;
    } cases[] = {
        {"delete missing", failure(DeleteFileA(missing.c_str())), 2},
        {"delete in missing folder", failure(DeleteFileA(noFolder.c_str())), 3},
        {"move missing", failure(MoveFileA(missing.c_str(), scratch.path("to").c_str())), 2},
        {"move from missing folder", failure(MoveFileA(noFolder.c_str(), scratch.path("to").c_str())), 3},
        {"move into missing folder", failure(MoveFileA(file.c_str(), noFolder.c_str())), 3},
        {"move onto existing", failure(MoveFileA(file.c_str(), other.c_str())), 183},
        {"replace into missing folder", failure(MoveFileExA(file.c_str(), noFolder.c_str(), MOVEFILE_REPLACE_EXISTING)),
         3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.code, c.expected) << c.name;
    EXPECT_EQ(readFile(file), "x");
}

} // namespace
