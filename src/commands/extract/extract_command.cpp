#include "commands/commands.h"
#include "commands/entry_name.h"
#include "commands/extract/entry_ranges.h"
#include "commands/extract/entry_writer.h"
#include "commands/extract/free_space.h"
#include "commands/extract/known_folders.h"
#include "commands/extract/leftovers.h"
#include "commands/extract/open_archive.h"
#include "log/logger.h"
#include "platform/file_utils.h"

#include <cstring>
#include <string>
#include <vector>

std::optional<int> extractCommand(OptionParser& options) {
    const char* zipValue = options.getValue("zip");
    const char* outValue = options.getValue("out");
    const std::string zip = zipValue != nullptr ? zipValue : "";
    const std::string outDir = outValue != nullptr ? outValue : "";
    Logger* const log = Logger::instance();
    log->log(INFO, "Started extraction. zipFile: " + zip + ", outDir: " + outDir);

    if (!FileUtils::fileExists(zip.c_str())) {
        log->log(ERROR, "The zip file doesn't exist");
        return 2;
    }
    // Without a folder every entry would land below the root of the drive.
    if (outDir.empty()) {
        log->log(ERROR, "Output folder is required for extract command");
        return 2;
    }
    if (!FileUtils::directoryExists(outDir.c_str())) {
        log->log(INFO, "Creating output directory: " + outDir);
        FileUtils::createDirectories(outDir.c_str());
    }

    mz_zip_archive archive{};
    if (!openArchive(archive, zip)) {
        log->log(ERROR, "Failed to open zip file: " + zip);
        return 2;
    }
    {
        const OpenArchive open(archive);
        const mz_uint count = mz_zip_reader_get_num_files(&archive);
        log->log(INFO, "Zip file contains " + std::to_string(count) + " files");

        CoveredRanges covered;
        const std::string prefix = ownTemporaryPrefix();
        KnownFolders folders(outDir);
        Leftovers leftovers(prefix);
        FreeSpace space;
        std::vector<char> buffer(256 * 1024);
        std::string path;
        for (mz_uint i = 0; i < count; ++i) {
            mz_zip_archive_file_stat entry;
            if (!mz_zip_reader_file_stat(&archive, i, &entry)) {
                log->log(ERROR, "Failed to get file info at index " + std::to_string(i));
                continue;
            }
            // Every entry's bytes count, refused or not: an entry that reuses
            // them is refused, while the first to take them is not.
            mz_uint64 begin = 0;
            mz_uint64 end = 0;
            const bool overlaps = entryRange(archive, entry, begin, end) && !covered.add(begin, end);
            // The library keeps at most 511 bytes of a name and stops at a
            // NUL byte in it: such a name would land shortened.
            const mz_uint storedLength = mz_zip_reader_get_filename(&archive, i, nullptr, 0) - 1;
            if (storedLength != std::strlen(entry.m_filename)) {
                std::string stored(storedLength + 1, '\0');
                mz_zip_reader_get_filename(&archive, i, stored.data(), storedLength + 1);
                stored.resize(storedLength);
                if (storedLength >= MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE)
                    log->log(ERROR, "Refused overlong entry name: " +
                                        printableEntryName(
                                            std::string_view(stored).substr(0, MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE - 1)) +
                                        "... (" + std::to_string(storedLength) + " bytes)");
                else
                    log->log(ERROR, "Refused unsafe entry name: " + printableEntryName(stored));
                continue;
            }
            const std::string name = printableEntryName(entry.m_filename);
            if (!isConfinedEntryName(entry.m_filename)) {
                log->log(ERROR, "Refused unsafe entry name: " + name);
                continue;
            }
            if (overlaps) {
                log->log(ERROR, "Refused entry whose data overlaps another entry's: " + name);
                continue;
            }
            path.assign(outDir).append("/").append(entry.m_filename);
            if (entry.m_is_directory) {
                if (!folders.reach(path))
                    log->log(ERROR, "Refused entry through a link: " + name);
                continue;
            }
            const std::string folder = path.substr(0, path.rfind('/'));
            if (!folders.reach(folder) || !folders.unchanged(folder) ||
                crossesLinkAtBackslash(path, folder.size() + 1)) {
                log->log(ERROR, "Refused entry through a link: " + name);
                continue;
            }
            leftovers.sweep(folder);
            if (!space.fits(folder, entry.m_uncomp_size)) {
                log->log(ERROR, "Refused entry larger than the free space: " + name + " (" +
                                    std::to_string(entry.m_uncomp_size) + " bytes)");
                continue;
            }
            if (!extractFile(archive, i, entry, folder, path, prefix, buffer))
                log->log(ERROR, "Failed to extract file: " + name);
        }
    }
    log->log(INFO, "Extraction completed");
    return std::nullopt;
}
