#include "platform/file.h"

#include "platform/held_folder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace {

using FileUtils::OpenFor;

TEST(File, ReadsBackWhatWasWrittenAtAnyOffset) {
    ScratchFolder scratch;
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    {
        Platform::File out = folder.createFile("data");
        ASSERT_TRUE(out.isOpen());
        EXPECT_TRUE(out.write("0123456789", 10));
        EXPECT_TRUE(out.write("", 0));
        EXPECT_TRUE(out.flush());
        std::uint64_t size = 0;
        EXPECT_TRUE(out.size(size));
        EXPECT_EQ(size, 10u);
    }
    Platform::File in = folder.openFile("data", OpenFor::Reading);
    ASSERT_TRUE(in.isOpen());
    const struct {
        std::uint64_t offset;
        std::size_t size;
        const char* expected; // what a read there gives: short only at the end
    } cases[] = {{0, 4, "0123"}, {6, 4, "6789"}, {8, 4, "89"}, {10, 4, ""}, {20, 4, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        char buffer[8] = {};
        std::size_t got = 99;
        EXPECT_TRUE(in.readAt(c.offset, buffer, c.size, got));
        EXPECT_EQ(std::string(buffer, got), c.expected);
    }
    // A moved File owns the one handle; the one moved from holds none.
    Platform::File moved = std::move(in);
    EXPECT_FALSE(in.isOpen());
    char buffer[16] = {};
    std::size_t got = 0;
    ASSERT_TRUE(moved.readAt(0, buffer, sizeof buffer, got));
    EXPECT_EQ(std::string(buffer, got), "0123456789");
}

TEST(File, TellsWhichFileItIsAndTakesItsTime) {
    ScratchFolder scratch;
    writeFile(scratch.path("a"), "a");
    writeFile(scratch.path("b"), "b");
    FileUtils::HeldFolder folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    Platform::File a = folder.openFile("a", OpenFor::Reading);
    Platform::File again = folder.openFile("a", OpenFor::Attributes);
    Platform::File b = folder.openFile("b", OpenFor::Writing);
    ASSERT_TRUE(a.isOpen() && again.isOpen() && b.isOpen());
    Platform::FileIdentity ia, iagain, ib;
    ASSERT_TRUE(a.identity(ia) && again.identity(iagain) && b.identity(ib));
    EXPECT_TRUE(ia == iagain);
    EXPECT_FALSE(ia == ib);
    EXPECT_FALSE(ia.folder);
    // 2001-09-09 01:46:40 UTC.
    const std::int64_t when = 1000000000;
    ASSERT_TRUE(b.setTimes(when));
    b.close();
    const auto stamp = std::filesystem::last_write_time(scratch.path("b"));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(stamp - std::filesystem::last_write_time(scratch.path("a")));
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    // The file clock's epoch differs by platform: compare against "a", just
    // written, whose time is about now.
    EXPECT_LT(std::abs((seconds + now).count() - when), 120);
}

} // namespace
