#include "commands/commands.h"
#include "commands/entry_name.h"
#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/win32.h"

#include <miniz.h>

#include <string>
#include <unordered_set>

namespace {

// Ends the archive record on every way out of the command, including an
// exception from a folder creation in the middle of the entries.
class OpenArchive {
public:
    explicit OpenArchive(mz_zip_archive& record) : archive(record) {}
    ~OpenArchive() { mz_zip_reader_end(&archive); }
    OpenArchive(const OpenArchive&) = delete;
    OpenArchive& operator=(const OpenArchive&) = delete;

private:
    mz_zip_archive& archive;
};

// Folders at or below the output folder that this run has created or found.
// An archive names the same few folders for thousands of entries: the file
// system is asked about each level once, and a new folder is made from its
// nearest known ancestor down.
class KnownFolders {
public:
    // The output folder exists (or is a file, which the first level made
    // below it finds out) once the command has made sure of it.
    explicit KnownFolders(const std::string& outDir) : root(withoutTrailingSlashes(outDir)) { known.insert(root); }

    // A folder entry: made without a test of its own, as the chain
    // creation tests each missing level itself.
    void create(const std::string& folder) {
        std::string key = withoutTrailingSlashes(folder);
        if (known.count(key) != 0)
            return;
        FileUtils::createDirectories(folder.c_str(), knownAncestorLength(key));
        remember(std::move(key));
    }

    // The parent folder of a file entry.
    void ensure(const std::string& folder) {
        std::string key = withoutTrailingSlashes(folder);
        if (known.count(key) != 0)
            return;
        if (!FileUtils::directoryExists(folder.c_str()))
            FileUtils::createDirectories(folder.c_str(), knownAncestorLength(key));
        remember(std::move(key));
    }

private:
    static std::string withoutTrailingSlashes(std::string folder) {
        while (!folder.empty() && folder.back() == '/')
            folder.pop_back();
        return folder;
    }

    // Cuts the folder at its last '/', dropping a run of them.
    static bool toParent(std::string& folder) {
        const std::size_t slash = folder.rfind('/');
        if (slash == std::string::npos)
            return false;
        folder.resize(slash);
        folder = withoutTrailingSlashes(std::move(folder));
        return true;
    }

    // Length of the longest known folder that the given one lies in; it
    // always ends just before a '/' of the given path.
    std::size_t knownAncestorLength(std::string folder) const {
        while (folder.size() > root.size() && toParent(folder))
            if (known.count(folder) != 0)
                return folder.size();
        return 0;
    }

    // Once a folder exists, so does every level above it.
    void remember(std::string folder) {
        while (folder.size() > root.size() && known.insert(folder).second && toParent(folder)) {
        }
    }

    std::string root;
    std::unordered_set<std::string> known;
};

// Writes one file entry so that a failure leaves no partial file. Where
// nothing exists yet the entry is written in place and removed again when
// it fails; an existing file is replaced only by a complete, checked copy
// written beside it, so a failed entry leaves the old file as it was.
bool extractFile(mz_zip_archive& archive, mz_uint index, const std::string& path, const std::string& folder) {
    const DWORD existing = GetFileAttributesA(path.c_str());
    const DWORD probe = GetLastError();
    if (existing == INVALID_FILE_ATTRIBUTES && (probe == ERROR_FILE_NOT_FOUND || probe == ERROR_PATH_NOT_FOUND)) {
        if (mz_zip_reader_extract_to_file(&archive, index, path.c_str(), 0))
            return true;
        DeleteFileA(path.c_str());
        return false;
    }
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false; // a folder is never replaced by a file
    const std::string temporary =
        folder + "/.vantrell-" + std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) + ".tmp";
    if (mz_zip_reader_extract_to_file(&archive, index, temporary.c_str(), 0) &&
        MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileA(temporary.c_str());
    return false;
}

} // namespace

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
    if (!mz_zip_reader_init_file(&archive, zip.c_str(), 0)) {
        log->log(ERROR, "Failed to open zip file: " + zip);
        return 2;
    }
    {
        const OpenArchive open(archive);
        const mz_uint count = mz_zip_reader_get_num_files(&archive);
        log->log(INFO, "Zip file contains " + std::to_string(count) + " files");

        KnownFolders folders(outDir);
        std::string path;
        for (mz_uint i = 0; i < count; ++i) {
            mz_zip_archive_file_stat entry;
            if (!mz_zip_reader_file_stat(&archive, i, &entry)) {
                log->log(ERROR, "Failed to get file info at index " + std::to_string(i));
                continue;
            }
            if (!isConfinedEntryName(entry.m_filename)) {
                log->log(ERROR, std::string("Refused unsafe entry name: ") + entry.m_filename);
                continue;
            }
            path.assign(outDir).append("/").append(entry.m_filename);
            if (entry.m_is_directory) {
                folders.create(path);
                continue;
            }
            const std::string folder = path.substr(0, path.rfind('/'));
            folders.ensure(folder);
            if (!extractFile(archive, i, path, folder))
                log->log(ERROR, std::string("Failed to extract file: ") + entry.m_filename);
        }
    }
    log->log(INFO, "Extraction completed");
    return std::nullopt;
}
