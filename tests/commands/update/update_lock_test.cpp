#include "commands/update/update_lock.h"

#include "platform/file_utils.h"
#include "platform/held_folder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

using Result = UpdateLock::Result;

TEST(UpdateLock, OneHolderPerArchiveForTheWaitGivenAndTheFileGoesWithIt) {
    ScratchFolder scratch;
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    const std::string file = scratch.path(UpdateLock::fileName("app.asar"));
    auto first = std::make_unique<UpdateLock>();
    ASSERT_EQ(first->take(folder, "app.asar", 0), Result::held);
    EXPECT_TRUE(FileUtils::fileExists(file.c_str()));
    const struct {
        const char* name;
        unsigned long waitMs;
        Result result;
    } cases[] = {
        {"app.asar", 0, Result::busy},
        {"app.asar", 300, Result::busy},
        {"other.asar", 0, Result::held}, // another archive, another lock
    };
    for (const auto& c : cases) {
        UpdateLock second;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(second.take(folder, c.name, c.waitMs), c.result) << c.name << " " << c.waitMs;
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_GE(waited, std::chrono::milliseconds(c.result == Result::busy ? c.waitMs : 0));
        EXPECT_LT(waited, std::chrono::milliseconds(c.waitMs + 5000));
    }
    first.reset();
    EXPECT_FALSE(FileUtils::fileExists(file.c_str()));
    UpdateLock again;
    EXPECT_EQ(again.take(folder, "app.asar", 0), Result::held);
}

} // namespace
