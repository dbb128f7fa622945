// Extracts an arbitrary byte string as a zip archive into a scratch folder,
// through the real command. Afterwards nothing may exist in the scratch
// folder besides the archive and the output folder, and no temporary file
// in the output folder.
#include "commands/commands.h"
#include "options/option_parser.h"
#include "platform/file_utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {
const fs::path& scratch() {
    static const fs::path folder = [] {
        const fs::path made = fs::temp_directory_path() / ("vantrell-fuzz-" + std::to_string(getpid()));
        fs::create_directories(made);
        return made;
    }();
    return folder;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // The command logs every entry to standard error. libFuzzer's own flag
    // closes that stream for the code under test while keeping a copy of it
    // for its report and the sanitizers' (an explicit flag still wins).
    static std::vector<char*> arguments(*argv, *argv + *argc);
    static char closeStandardError[] = "-close_fd_mask=2";
    arguments.insert(arguments.begin() + 1, closeStandardError);
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size()) - 1;
    *argv = arguments.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path root = scratch();
    const fs::path zip = root / "input.zip";
    const fs::path out = root / "out";
    {
        std::FILE* f = std::fopen(zip.c_str(), "wb");
        if (f == nullptr)
            std::abort();
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    const std::string zipText = zip.string();
    const std::string outText = out.string();
    const char* argv[] = {"helper", "--extract", "--zip", zipText.c_str(), "--out", outText.c_str(), nullptr};
    OptionParser options;
    options.addFlag("extract");
    options.addOption("zip");
    options.addOption("out");
    options.parse(6, argv);
    // Nothing else holds the archive here: a wait could only slow a run down.
    WaitBudgets budgets;
    budgets.inUseMs = 0;
    try {
        (void)extractCommand(options, budgets);
    } catch (const FileUtils::IOException&) {
        // A folder that cannot be made ends the run in order; not a finding.
    }

    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path() != zip && entry.path() != out)
            __builtin_trap(); // something was written outside the output folder
    }
    std::error_code walking;
    for (auto it = fs::recursive_directory_iterator(out, walking); !walking && it != fs::end(it);
         it.increment(walking)) {
        if (it->path().filename().string().rfind(".vantrell-", 0) == 0)
            __builtin_trap(); // a temporary file outlived the run
    }
    std::error_code ignored;
    fs::remove_all(out, ignored);
    return 0;
}
