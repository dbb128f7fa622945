#include "platform/new_file.h"

#include "platform/error_code.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr Platform::ErrorCode kDiskFull = 112;

// A link planted at a name: false where the platform cannot make one.
bool plantLink(const std::string& target, const std::string& at) {
    std::error_code error;
    std::filesystem::create_symlink(target, at, error);
    return !error;
}

TEST(NewFile, ReplacesTheFinalNameInOneStepOrLeavesNothing) {
    ScratchFolder scratch;
    writeFile(scratch.path("outside"), "outside");
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    // Over a plain file, and over a link (replaced itself, its target never
    // written).
    const bool links = plantLink(scratch.path("outside"), scratch.path("linked"));
    writeFile(scratch.path("final"), "old");
    for (const char* name : {"final", "linked"}) {
        if (!links && std::string(name) == "linked")
            continue;
        SCOPED_TRACE(name);
        FileUtils::NewFile file;
        ASSERT_TRUE(file.createUnique(folder, ".t-", ".tmp"));
        EXPECT_EQ(file.path().size(), scratch.path().size() + 1 + 3 + 16 + 4);
        ASSERT_TRUE(file.write("new", 3));
        ASSERT_TRUE(file.file().flush());
        ASSERT_TRUE(file.replaceIn(name));
        EXPECT_FALSE(std::filesystem::is_symlink(scratch.path(name)));
        EXPECT_EQ(readFile(scratch.path(name)), "new");
    }
    EXPECT_EQ(readFile(scratch.path("outside")), "outside");
    {
        // A dropped file is removed, and the caller's code survives that.
        FileUtils::NewFile dropped;
        ASSERT_TRUE(dropped.createUnique(folder, "partial-", ""));
        ASSERT_TRUE(dropped.write("half", 4));
        Platform::setLastError(kDiskFull);
    }
    EXPECT_EQ(Platform::lastError(), kDiskFull);
    std::size_t names = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
        names += entry.path().filename().string().rfind("partial-", 0) == 0 ? 1 : 0;
    EXPECT_EQ(names, 0u);
    EXPECT_NE(FileUtils::randomHex(16), FileUtils::randomHex(16));
}

} // namespace
