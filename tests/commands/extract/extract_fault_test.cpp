// The extraction's refusals under failing system calls.
#include "app/command_dispatcher.h"
#include "commands/commands.h"

#include "system_call_faults.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <miniz.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <vector>

namespace {

// The ERROR lines of a run, without their level field and process id.
std::vector<std::string> errorLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("ERROR", 0) == 0)
            lines.push_back(line.substr(line.find(") ") + 2));
    return lines;
}

std::optional<int> extract(const std::string& zip, const std::string& out) {
    std::vector<const char*> args = {"helper", "--zip", zip.c_str(), "--out", out.c_str(), nullptr};
    OptionParser options;
    declareOptions(options);
    options.parse(static_cast<int>(args.size() - 1), args.data());
    WaitBudgets budgets;
    budgets.inUseMs = 100;
    return extractCommand(options, budgets);
}

} // namespace

TEST(ExtractFaults, AFailedCallRefusesItsEntryAndTheRestIsExtracted) {
    ScratchFolder scratch;
    const std::string zip = scratch.path("in.zip");
    const std::string big(1 << 20, 'x');
    mz_zip_archive archive{};
    ASSERT_TRUE(mz_zip_writer_init_file(&archive, zip.c_str(), 0));
    for (const auto& [name, text] :
         {std::pair<const char*, std::string>{"a.txt", "a"}, {"big.bin", big}, {"sub/x.txt", "x"}, {"z.txt", "z"}})
        ASSERT_TRUE(mz_zip_writer_add_mem(&archive, name, text.data(), text.size(), MZ_BEST_SPEED));
    ASSERT_TRUE(mz_zip_writer_finalize_archive(&archive) && mz_zip_writer_end(&archive));

    const struct {
        const char* name;
        Call call;
        int error;
        int from;
        const char* named;
        std::vector<std::string> refused;
        std::set<std::string> extracted;
    } cases[] = {
        // a.txt takes the first write, big.bin the second and more: the disk
        // fills up in the middle of big.bin and stays full.
        {"the disk full mid-entry",
         Write,
         ENOSPC,
         3,
         "",
         {"Failed to extract file: big.bin", "Failed to extract file: sub/x.txt", "Failed to extract file: z.txt"},
         {"a.txt"}},
        {"a folder unreadable",
         OpenFolder,
         EIO,
         1,
         "sub",
         {"Failed to extract file: sub/x.txt"},
         {"a.txt", "big.bin", "z.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = scratch.path(std::string("out-") + c.name);
        testing::internal::CaptureStderr();
        arm(1u << c.call, c.error, c.from, c.named);
        const std::optional<int> status = extract(zip, out);
        disarm();
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(fault.hit);
        EXPECT_FALSE(status.has_value());
        EXPECT_EQ(errorLines(log), c.refused);
        // Nothing half-written stays.
        std::set<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
            if (!entry.is_directory())
                files.insert(entry.path().lexically_relative(out).generic_string());
        EXPECT_EQ(files, c.extracted);
    }
}
