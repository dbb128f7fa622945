#include "commands/update/update_lock.h"

#include "platform/file_utils.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

TEST(UpdateLock, OneHolderPerArchiveForTheWaitGivenAndTheFileGoesWithIt) {
    ScratchFolder scratch;
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    const std::string file = scratch.path(UpdateLock::fileName("app.asar"));
    std::optional<UpdateLock> first(std::in_place);
    ASSERT_EQ(first->take(folder, "app.asar", 0), UpdateLock::Result::held);
    for (const unsigned long waitMs : {0ul, 300ul}) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(UpdateLock().take(folder, "app.asar", waitMs), UpdateLock::Result::busy);
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(waitMs));
    }
    EXPECT_EQ(UpdateLock().take(folder, "other.asar", 0), UpdateLock::Result::held);
    EXPECT_TRUE(FileUtils::fileExists(file.c_str()));
    first.reset();
    EXPECT_FALSE(FileUtils::fileExists(file.c_str()));
    EXPECT_EQ(UpdateLock().take(folder, "app.asar", 0), UpdateLock::Result::held);
}
