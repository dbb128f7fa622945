#include "commands/commands.h"
#include "commands/entry_name.h"
#include "commands/extract/entry_path.h"
#include "commands/extract/entry_ranges.h"
#include "commands/extract/entry_writer.h"
#include "commands/extract/folder_chain.h"
#include "commands/extract/free_space.h"
#include "commands/extract/leftovers.h"
#include "commands/extract/open_archive.h"
#include "commands/extract/refusal_log.h"
#include "log/logger.h"
#include "platform/error_code.h"
#include "platform/file_utils.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

// The library keeps at most 511 bytes of a name and stops at a NUL byte in
// it: such a name would land shortened. Logs the refusal and returns false.
bool storedWhole(mz_zip_archive& archive, mz_uint index, const mz_zip_archive_file_stat& entry, RefusalLog& refusals) {
    const mz_uint storedLength = mz_zip_reader_get_filename(&archive, index, nullptr, 0) - 1;
    if (storedLength == std::strlen(entry.m_filename))
        return true;
    std::string stored(storedLength + 1, '\0');
    mz_zip_reader_get_filename(&archive, index, stored.data(), storedLength + 1);
    stored.resize(storedLength);
    if (storedLength >= MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE)
        refusals.refuse("Refused overlong entry name: ",
                        printableEntryName(std::string_view(stored).substr(0, MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE - 1)) +
                            "... (" + std::to_string(storedLength) + " bytes)");
    else
        refusals.refuse("Refused unsafe entry name: ", printableEntryName(stored));
    return false;
}

// The refusal of an entry whose folder could not be reached, by what stood
// there.
void refuseFolder(RefusalLog& refusals, Platform::ErrorCode code, const std::string& name) {
    if (code == ERROR_CANT_RESOLVE_FILENAME)
        refusals.refuse("Refused entry through a link: ", name);
    else if (code == ERROR_TOO_MANY_OPEN_FILES)
        refusals.refuse("Refused entry deeper than the folders this process can hold open: ",
                        name + " (error " + std::to_string(static_cast<unsigned long>(code)) + ")");
    else
        refusals.refuse("Failed to extract file: ", name);
}

} // namespace

std::optional<int> extractCommand(OptionParser& options, const WaitBudgets& budgets) {
    const char* zipValue = options.getValue("zip");
    const char* outValue = options.getValue("out");
    const std::string zip = zipValue != nullptr ? zipValue : "";
    const std::string outDir = outValue != nullptr ? outValue : "";
    Logger* const log = Logger::instance();
    log->log(INFO, "Started extraction. zipFile: " + zip + ", outDir: " + outDir);

    // Opened once, and read only through that handle from here on.
    OpenArchive opened;
    switch (opened.open(zip, budgets.inUseMs)) {
    case OpenArchive::Opened::Missing:
        log->log(ERROR, "The zip file doesn't exist");
        return 2;
    case OpenArchive::Opened::Link:
        log->log(ERROR, "The zip file is a link, which is never followed: " + zip);
        return 2;
    case OpenArchive::Opened::Ok:
    case OpenArchive::Opened::Failed: // a folder or a FIFO: the start below says so
        break;
    }
    // Without a folder every entry would land below the root of the drive.
    if (outDir.empty()) {
        log->log(ERROR, "Output folder is required for extract command");
        return 2;
    }
    // Windows reads both separators, and callers write either (a path joined
    // on Windows has backslashes): the folder chain splits at both.
    const std::string out = FileUtils::toForwardSlashes(outDir);
    const bool outMade = !FileUtils::directoryExists(out.c_str());
    if (outMade) {
        log->log(INFO, "Creating output directory: " + outDir);
        FileUtils::createDirectories(out.c_str());
    }

    if (!opened.start()) {
        log->log(ERROR, "Failed to open zip file: " + zip);
        return 2;
    }
    mz_zip_archive& archive = opened.record();
    const mz_uint count = mz_zip_reader_get_num_files(&archive);
    log->log(INFO, "Zip file contains " + std::to_string(count) + " files");

    // An output folder that cannot be held (a file stands there) fails each
    // entry on its own below.
    FolderChain folders;
    folders.open(out, outMade);
    CoveredRanges covered;
    Leftovers leftovers;
    FreeSpace space;
    RefusalLog refusals(*log);
    std::unordered_set<std::uint64_t> landed;
    const std::string prefix = ownTemporaryPrefix();
    std::vector<char> buffer(256 * 1024);
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat entry;
        if (!mz_zip_reader_file_stat(&archive, i, &entry)) {
            refusals.refuse("Failed to get file info at index ", std::to_string(i));
            continue;
        }
        // Every entry's bytes count, refused or not: an entry that reuses
        // them is refused, while the first to take them is not.
        mz_uint64 begin = 0;
        mz_uint64 end = 0;
        const bool overlaps = entryRange(archive, entry, begin, end) && !covered.add(begin, end);
        if (!storedWhole(archive, i, entry, refusals))
            continue;
        const std::string name = printableEntryName(entry.m_filename);
        if (!isConfinedEntryName(entry.m_filename)) {
            refusals.refuse("Refused unsafe entry name: ", name);
            continue;
        }
        if (overlaps) {
            refusals.refuse("Refused entry whose data overlaps another entry's: ", name);
            continue;
        }
        constexpr mz_uint16 utf8Flag = 1u << 11;
        const std::vector<std::string> levels =
            entryLevels(decodedEntryName(entry.m_filename, (entry.m_bit_flag & utf8Flag) != 0));
        if (levels.empty() && !entry.m_is_directory) {
            refusals.refuse("Refused unsafe entry name: ", name);
            continue;
        }
        const std::size_t depth = entry.m_is_directory ? levels.size() : levels.size() - 1;
        bool madeHere = false;
        const FileUtils::HeldFolder* folder = folders.reach(levels, depth, madeHere);
        if (folder == nullptr) {
            refuseFolder(refusals, Platform::lastError(), name);
            continue;
        }
        if (entry.m_is_directory)
            continue;
        const std::uint64_t key = landingKey(levels);
        if (landed.count(key) != 0) {
            refusals.refuse("Refused entry that lands on the file of an earlier entry: ", name);
            continue;
        }
        // A folder this run made holds nothing a killed run left.
        if (!madeHere)
            leftovers.sweep(*folder);
        if (!space.fits(*folder, entry.m_uncomp_size)) {
            refusals.refuse("Refused entry larger than the free space: ",
                            name + " (" + std::to_string(entry.m_uncomp_size) + " bytes)");
            continue;
        }
        if (!extractFile(archive, i, entry, *folder, levels.back(), prefix, buffer)) {
            refusals.refuse("Failed to extract file: ", name);
            continue;
        }
        landed.insert(key);
    }
    refusals.finish();
    log->log(INFO, "Extraction completed");
    return std::nullopt;
}
