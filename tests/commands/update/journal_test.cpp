#include "commands/update/installation.h"

#include <gtest/gtest.h>

namespace {

const std::string kNew = "app.asar.vantrell-new-0123456789abcdef";
const std::string kStaged = "app.asar.vantrell-unpacked-new-0123456789abcdef";
const std::string kOld = "app.asar.vantrell-unpacked-old-fedcba9876543210";
const std::string kKept = "app.asar.vantrell-previous";
const std::string kKeptFolder = "app.asar.vantrell-unpacked-previous";

std::string text(const std::string& state, const std::string& archive, const std::string& staged,
                 const std::string& old) {
    return "vantrell-journal\n" + state + "\n" + archive + "\n" + staged + "\n" + old + "\n";
}

} // namespace

TEST(Journal, ReadsOnlyWhatItWritesForThatArchive) {
    const struct {
        const char* name;
        std::string text;
        bool valid;
    } cases[] = {
        {"prepared with a folder", text("prepare", kNew, kStaged, kOld), true},
        {"committed without a folder", text("commit", kNew, "", kOld), true},
        {"unknown state", text("done", kNew, kStaged, kOld), false},
        {"archive is the app's archive", text("commit", "app.asar", kStaged, kOld), false},
        {"archive leaves the folder", text("commit", "../app.asar.vantrell-new-0123456789abcdef", "", kOld), false},
        {"old folder is the app's folder", text("commit", kNew, kStaged, "app.asar.unpacked"), false},
        {"another archive's names", text("commit", "b.asar.vantrell-new-0123456789abcdef", "", kOld), false},
        {"upper-case digits", text("commit", "app.asar.vantrell-new-0123456789ABCDEF", "", kOld), false},
        {"fifteen digits", text("commit", kNew.substr(0, kNew.size() - 1), "", kOld), false},
        {"last line cut off", text("commit", kNew, kStaged, kOld).substr(0, 60), false},
        {"a line more", text("commit", kNew, kStaged, kOld) + "x\n", false},
        {"other header", "journal\ncommit\n" + kNew + "\n\n" + kOld + "\n", false},
        {"keeping the old pair", text("commit", kNew, kStaged, kOld) + "keep\n", true},
        {"another sixth line", text("commit", kNew, kStaged, kOld) + "kept\n", false},
        {"swapping the kept pair back", text("commit", kKept, kKeptFolder, kOld), true},
        {"swapping back the kept archive alone", text("commit", kKept, "", kOld), true},
        {"swapping back and keeping", text("commit", kKept, kKeptFolder, kOld) + "keep\n", false},
        {"the kept folder with a staged archive", text("commit", kNew, kKeptFolder, kOld), false},
        {"a staged folder with the kept archive", text("commit", kKept, kStaged, kOld), false},
        {"another archive's kept pair", text("commit", "b.asar.vantrell-previous", "", kOld), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Installation::Journal journal;
        EXPECT_EQ(parseJournal(c.text, "app.asar", journal), c.valid);
    }
}

TEST(Journal, WrittenTextReadsBackAsItWas) {
    for (const bool committed : {false, true}) {
        for (const std::string& staged : {std::string(), kStaged}) {
            Installation::Journal written;
            written.keep = staged.empty();
            written.committed = committed;
            written.archive = kNew;
            written.unpacked = staged;
            written.old = kOld;
            Installation::Journal read;
            ASSERT_TRUE(parseJournal(journalText(written), "app.asar", read));
            EXPECT_EQ(read.committed, committed);
            EXPECT_EQ(read.archive, kNew);
            EXPECT_EQ(read.unpacked, staged);
            EXPECT_EQ(read.old, kOld);
            EXPECT_EQ(read.keep, written.keep);
        }
    }
}

TEST(Journal, LongArchiveNamesGetAShortStem) {
    const std::string longest(216, 'a');
    EXPECT_EQ(stagingStem(longest), longest);
    const std::string stem = stagingStem(longest + "b");
    EXPECT_EQ(stem.size(), 11u);
    EXPECT_EQ(stem.compare(0, 3, "~vt"), 0);
    EXPECT_NE(stem, stagingStem(longest + "c"));
}
