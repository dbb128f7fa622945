// Extracts an arbitrary byte string as a zip archive into a scratch folder,
// through the real command. Afterwards nothing may exist in the scratch
// folder besides the archive and the output folder.
#include "commands/commands.h"
#include "options/option_parser.h"
#include "platform/file_utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The command logs every entry; the fuzzer's own output is what matters.
    if (std::freopen("/dev/null", "w", stderr) == nullptr)
        std::abort();
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
    try {
        (void)extractCommand(options);
    } catch (const FileUtils::IOException&) {
        // A folder that cannot be made ends the run in order; not a finding.
    }

    for (const auto& entry : fs::directory_iterator(root)) {
        if (entry.path() != zip && entry.path() != out)
            __builtin_trap(); // something was written outside the output folder
    }
    std::error_code ignored;
    fs::remove_all(out, ignored);
    return 0;
}
