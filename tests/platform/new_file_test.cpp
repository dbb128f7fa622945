#include "platform/new_file.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// A link planted at a name: false where the platform cannot make one.
bool plantLink(const std::string& target, const std::string& at) {
    std::error_code error;
    std::filesystem::create_symlink(target, at, error);
    return !error;
}

TEST(NewFile, NeverOpensAnExistingNameAndLeavesWhatIsThereAlone) {
    ScratchFolder scratch;
    writeFile(scratch.path("outside"), "outside");
    writeFile(scratch.path("file"), "old");
    std::filesystem::create_directory(scratch.path("folder"));
    const bool links = plantLink(scratch.path("outside"), scratch.path("link")) &&
                       plantLink(scratch.path("gone"), scratch.path("dangling"));
    for (const char* name : {"file", "folder", "link", "dangling"}) {
        if (!links && (std::string(name) == "link" || std::string(name) == "dangling"))
            continue;
        SCOPED_TRACE(name);
        FileUtils::NewFile file;
        EXPECT_FALSE(file.create(scratch.path(name)));
        EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    EXPECT_EQ(readFile(scratch.path("file")), "old");
    EXPECT_EQ(readFile(scratch.path("outside")), "outside");
    EXPECT_FALSE(std::filesystem::exists(scratch.path("gone")));
}

TEST(NewFile, ReplacesTheFinalNameInOneStepOrLeavesNothing) {
    ScratchFolder scratch;
    writeFile(scratch.path("outside"), "outside");
    const bool links = plantLink(scratch.path("outside"), scratch.path("final"));
    if (!links)
        writeFile(scratch.path("final"), "old");
    {
        FileUtils::NewFile file;
        ASSERT_TRUE(file.createUnique(scratch.path(), ".t-", ".tmp"));
        EXPECT_EQ(file.path().size(), scratch.path().size() + 1 + 3 + 16 + 4);
        ASSERT_TRUE(file.write("new", 3));
        ASSERT_TRUE(file.replace(scratch.path("final").c_str(), true));
    }
    // The link itself was replaced, its target never written.
    EXPECT_FALSE(std::filesystem::is_symlink(scratch.path("final")));
    EXPECT_EQ(readFile(scratch.path("final")), "new");
    EXPECT_EQ(readFile(scratch.path("outside")), "outside");
    {
        // A final name that someone has open is not replaced, as on Windows.
        const HANDLE held =
            CreateFileA(scratch.path("final").c_str(), GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        FileUtils::NewFile file;
        ASSERT_TRUE(file.createUnique(scratch.path(), ".t-", ".tmp"));
        EXPECT_FALSE(file.replace(scratch.path("final").c_str(), true));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        CloseHandle(held);
        EXPECT_EQ(readFile(scratch.path("final")), "new");
    }
    {
        FileUtils::NewFile dropped;
        ASSERT_TRUE(dropped.create(scratch.path("partial")));
        ASSERT_TRUE(dropped.write("half", 4));
        SetLastError(ERROR_DISK_FULL);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_FALSE(std::filesystem::exists(scratch.path("partial")));
    EXPECT_NE(FileUtils::randomHex(16), FileUtils::randomHex(16));
}

} // namespace
