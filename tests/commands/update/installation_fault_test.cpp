// The update's journal under failing system calls: the native table of
// system calls is swapped for one that fails where a case says.
#include "commands/update/installation.h"

#include "platform/file_utils.h"
#include "system_call_faults.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <stdexcept>

namespace {

// An app's archive and unpacked folder, both "old", and "source", the
// update's unpacked folder.
struct Scene {
    Scene() {
        writeFile(scratch.path("app.asar"), "old");
        std::filesystem::create_directory(scratch.path("app.asar.unpacked"));
        writeFile(scratch.path("app.asar.unpacked/f"), "old");
        std::filesystem::create_directory(scratch.path("source"));
        writeFile(scratch.path("source/f"), "new");
    }
    // "old" or "new" when the archive and its folder are a whole pair.
    std::string pair() const {
        const std::string archive = readFile(scratch.path("app.asar"));
        return archive == readFile(scratch.path("app.asar.unpacked/f")) ? archive : "mixed";
    }
    std::set<std::string> names() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(scratch.path()))
            names.insert(entry.path().filename().string());
        return names;
    }
    ScratchFolder scratch;
};

const std::set<std::string> kClean = {"app.asar", "app.asar.unpacked", "source"};

enum class Step { Begin, Stage, Commit };

// Updates the scene, the fault armed from `step` on; a killed run is left as
// it is, any other is disarmed before its object abandons the update.
void update(Scene& scene, Step step, bool killed, unsigned calls, int error, int from = 1) {
    FileUtils::HeldFolder folder, source;
    if (!folder.open(scene.scratch.path()) || !source.open(scene.scratch.path("source")))
        throw std::runtime_error("scene");
    Installation installation(folder, "app.asar", scene.scratch.path("app.asar"), 100);
    try {
        if (step == Step::Begin)
            arm(calls, error, from);
        Platform::File& archive = installation.begin(true);
        if (!archive.write("new", 3))
            throw std::runtime_error("write");
        std::string link;
        if (step == Step::Stage)
            arm(calls, error, from);
        if (!installation.stageUnpacked(source, link))
            throw std::runtime_error("link");
        if (step == Step::Commit)
            arm(calls, error, from);
        installation.commit();
    } catch (...) {
        if (!killed)
            disarm();
        throw;
    }
    disarm();
}

// Updates the scene to "new", keeping the old pair for a swap back; with
// `calls`, killed from the `from`th of them on (the fault stays armed while
// the object is abandoned, as a killed run abandons nothing).
void updateKeeping(Scene& scene, unsigned calls = 0, int from = 1) {
    FileUtils::HeldFolder folder, source;
    if (!folder.open(scene.scratch.path()) || !source.open(scene.scratch.path("source")))
        throw std::runtime_error("scene");
    Installation installation(folder, "app.asar", scene.scratch.path("app.asar"), 100);
    installation.keepReplaced();
    if (calls != 0)
        arm(calls, EIO, from);
    Platform::File& archive = installation.begin(true);
    std::string link;
    if (!archive.write("new", 3) || !installation.stageUnpacked(source, link))
        throw std::runtime_error("stage");
    installation.commit();
}

// Swaps the kept pair back with the fault armed; a killed run is left as
// it is.
Installation::SwapBack swapBack(Scene& scene, unsigned calls, int error, int from = 1, const char* name = "") {
    FileUtils::HeldFolder folder;
    if (!folder.open(scene.scratch.path()))
        throw std::runtime_error("scene");
    Installation installation(folder, "app.asar", scene.scratch.path("app.asar"), 100);
    arm(calls, error, from, name);
    const Installation::SwapBack result = installation.swapBack();
    disarm();
    return result;
}

bool repair(Scene& scene) {
    FileUtils::HeldFolder folder;
    EXPECT_TRUE(folder.open(scene.scratch.path()));
    Installation installation(folder, "app.asar", scene.scratch.path("app.asar"), 100);
    return installation.repair();
}

} // namespace

TEST(InstallationFaults, AKilledRunIsRepairedToAWholePair) {
    std::set<std::string> seen;
    int n = 1;
    for (;; ++n) {
        SCOPED_TRACE(n);
        Scene scene;
        bool threw = false;
        try {
            update(scene, Step::Begin, true, kMutating, EIO, n);
        } catch (...) {
            threw = true;
        }
        const bool hit = fault.hit;
        disarm();
        if (!hit) {
            EXPECT_FALSE(threw);
            EXPECT_EQ(scene.pair(), "new");
            break;
        }
        EXPECT_NO_THROW(repair(scene));
        const std::string pair = scene.pair();
        EXPECT_TRUE(pair == "old" || pair == "new") << pair;
        EXPECT_EQ(scene.names(), kClean);
        seen.insert(pair);
        ASSERT_LT(n, 1000);
    }
    RecordProperty("killPoints", n - 1);
    // Killed both before and after the point of no return.
    EXPECT_EQ(seen, (std::set<std::string>{"old", "new"}));
    EXPECT_GT(n, 10);
}

TEST(InstallationFaults, AFailedStepLeavesTheOldPair) {
    const struct {
        const char* name;
        Step step;
        Call call;
        int error;
    } cases[] = {
        {"a rename in use", Step::Commit, Rename, EBUSY},
        {"a rename denied", Step::Commit, Rename, EACCES},
        {"the journal denied", Step::Commit, OpenWrite, EACCES},
        {"the disk full on the flush", Step::Commit, Fsync, ENOSPC},
        {"the disk full on a copy", Step::Stage, Write, ENOSPC},
        {"a listing error", Step::Stage, Readdir, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scene scene;
        EXPECT_THROW(update(scene, c.step, false, 1u << c.call, c.error), FileUtils::IOException);
        EXPECT_TRUE(fault.hit);
        EXPECT_EQ(scene.pair(), "old");
        EXPECT_EQ(scene.names(), kClean);
    }
}

TEST(InstallationFaults, AJournalInUseIsLeftAsItIsUntilItIsFree) {
    Scene scene;
    Installation::Journal journal;
    journal.archive = "app.asar.vantrell-new-0123456789abcdef";
    journal.unpacked = "app.asar.vantrell-unpacked-new-0123456789abcdef";
    journal.old = "app.asar.vantrell-unpacked-old-0123456789abcdef";
    writeFile(scene.scratch.path("app.asar.vantrell-journal"), journalText(journal));
    arm(1u << Flock, EWOULDBLOCK);
    EXPECT_THROW(repair(scene), FileUtils::IOException);
    disarm();
    EXPECT_TRUE(fault.hit);
    EXPECT_EQ(scene.names().count("app.asar.vantrell-journal"), 1u);
    EXPECT_TRUE(repair(scene));
    EXPECT_EQ(scene.pair(), "old");
    EXPECT_EQ(scene.names(), kClean);
}

// An update keeping the old pair, and the swap back of that pair, each killed
// at every call in turn; the repair leaves a whole pair and nothing kept.
TEST(InstallationFaults, AKeepingUpdateOrASwapBackKilledAtAnyCallIsRepairedToAWholePair) {
    for (const bool back : {false, true}) {
        SCOPED_TRACE(back ? "swap back" : "keeping update");
        std::set<std::string> seen;
        int n = 1;
        for (bool hit = true; hit; ++n) {
            SCOPED_TRACE(n);
            Scene scene;
            try {
                if (back) {
                    updateKeeping(scene);
                    swapBack(scene, kMutating, EIO, n);
                } else {
                    updateKeeping(scene, kMutating, n);
                }
            } catch (...) { // killed: whatever the failed call threw
            }
            hit = fault.hit;
            disarm();
            EXPECT_NO_THROW(repair(scene));
            seen.insert(scene.pair());
            EXPECT_EQ(scene.names(), kClean);
            ASSERT_LT(n, 1000);
        }
        RecordProperty(back ? "swapBackKillPoints" : "keepingKillPoints", n - 2);
        EXPECT_EQ(seen, (std::set<std::string>{"old", "new"}));
    }
}

TEST(InstallationFaults, AFailedSwapBackLeavesTheNewPairAndTheKeptOne) {
    const struct {
        const char* what;
        Call call;
        int error;
        const char* target; // only the calls naming it fail, when given
    } cases[] = {
        {"the journal denied", OpenWrite, EACCES, ""},
        {"the disk full on the journal", Write, ENOSPC, ""},
        {"the archive's rename denied", Rename, EACCES, "app.asar"},
        {"the archive in use", Rename, EBUSY, "app.asar"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        updateKeeping(scene);
        const std::set<std::string> kept = scene.names();
        EXPECT_THROW(swapBack(scene, 1u << c.call, c.error, 1, c.target), FileUtils::IOException);
        disarm();
        EXPECT_TRUE(fault.hit);
        EXPECT_EQ(scene.pair(), "new");
        EXPECT_EQ(scene.names(), kept);
        // A try that succeeds after it puts the old pair back.
        EXPECT_EQ(swapBack(scene, 0, 0), Installation::SwapBack::Done);
        EXPECT_EQ(scene.pair(), "old");
        EXPECT_EQ(scene.names(), kClean);
    }
}

// A run killed while removing its journal leaves an empty file at its name:
// nothing to repair or to stop a swap back, and no foreign journal either.
TEST(InstallationFaults, AnEmptiedJournalNamesNothingToDo) {
    for (const bool back : {false, true}) {
        SCOPED_TRACE(back ? "swap back" : "repair");
        Scene scene;
        if (back)
            updateKeeping(scene);
        writeFile(scene.scratch.path("app.asar.vantrell-journal"), "");
        if (back)
            EXPECT_EQ(swapBack(scene, 0, 0), Installation::SwapBack::Done);
        else
            EXPECT_FALSE(repair(scene));
        EXPECT_EQ(scene.pair(), "old");
        EXPECT_EQ(scene.names(), kClean);
    }
}
