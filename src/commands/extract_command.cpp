#include "commands/commands.h"
#include "commands/entry_name.h"
#include "commands/entry_ranges.h"
#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/new_file.h"
#include "platform/process.h"
#include "platform/win32.h"

#include <miniz.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

// Each entry is written to a file of its own, named .vantrell-<pid>-<16 random
// hex digits>.tmp in the entry's folder, before it is renamed into place. The
// process id lets a later run tell a killed run's leftovers from a live
// writer's file.
const char* const temporaryPrefix = ".vantrell-";
const char* const temporarySuffix = ".tmp";
constexpr std::size_t randomDigits = 16;

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

// Folders at or below the output folder that this run has created or found,
// none of them a link. An archive names the same few folders for thousands
// of entries: the file system is asked about each level once, and a new
// folder is made from its nearest known ancestor down. The output folder
// itself may be a link: that is the caller's choice.
class KnownFolders {
public:
    // The output folder exists (or is a file, which the first level made
    // below it finds out) once the command has made sure of it.
    explicit KnownFolders(const std::string& outDir) : root(withoutTrailingSlashes(outDir)) { known.insert(root); }

    // Makes every missing level of a folder below the output folder. False,
    // making nothing below it, when a level is a link or other reparse
    // point: whatever lies behind it is not the caller's folder.
    bool reach(const std::string& folder) {
        std::string key = withoutTrailingSlashes(folder);
        if (known.count(key) != 0)
            return true;
        if (!FileUtils::createDirectoriesWithoutLinks(folder.c_str(), knownAncestorLength(key)))
            return false;
        remember(std::move(key));
        return true;
    }

    // Whether `folder` still leads to the folder this run found free of links
    // there. Someone else writing into the output folder may swap a level for
    // a link at any moment, so each entry asks again before its file is made.
    // The levels are looked at once per folder; after that one question about
    // the folder's identity suffices: a swapped level leads elsewhere.
    bool unchanged(const std::string& folder) {
        FileUtils::FolderIdentity now;
        const auto found = identities.find(folder);
        if (!FileUtils::identifyFolder(folder.c_str(), now)) {
            // An output folder that is a file was never one: making the entry's
            // file in it fails, and the entry is reported as not extracted.
            return found == identities.end() && folder.size() <= root.size();
        }
        if (found != identities.end())
            return found->second == now;
        // Asked again after the levels, so that no swap in between goes unseen.
        FileUtils::FolderIdentity after;
        if (!levelsWithoutLinks(folder) || !FileUtils::identifyFolder(folder.c_str(), after) || !(after == now))
            return false;
        identities.emplace(folder, now);
        return true;
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

    bool levelsWithoutLinks(const std::string& folder) const {
        std::string level;
        for (std::size_t at = root.size() + 1; at <= folder.size(); ++at) {
            if ((at < folder.size() && folder[at] != '/') || folder[at - 1] == '/')
                continue;
            level.assign(folder, 0, at);
            const DWORD attributes = GetFileAttributesA(level.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                return false;
        }
        return true;
    }

    // Once a folder exists, so does every level above it.
    void remember(std::string folder) {
        while (folder.size() > root.size() && known.insert(folder).second && toParent(folder)) {
        }
    }

    std::string root;
    std::unordered_set<std::string> known;
    std::unordered_map<std::string, FileUtils::FolderIdentity> identities;
};

// Windows also reads a '\' in a stored name as a separator, so "a\b.txt"
// lands in folder a there: a level so named must not be a link either.
bool crossesLinkAtBackslash(const std::string& path, std::size_t nameStart) {
    for (std::size_t at = path.find('\\', nameStart); at != std::string::npos; at = path.find('\\', at + 1)) {
        const DWORD attributes = GetFileAttributesA(path.substr(0, at).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return true;
    }
    return false;
}

// The writer's process id when `name` is one of our temporary names.
bool temporaryFileOwner(const char* name, DWORD& processId) {
    const std::size_t prefixLength = std::strlen(temporaryPrefix);
    if (std::strncmp(name, temporaryPrefix, prefixLength) != 0)
        return false;
    const char* at = name + prefixLength;
    unsigned long long id = 0;
    const char* digits = at;
    while (*at >= '0' && *at <= '9' && at - digits < 10)
        id = id * 10 + static_cast<unsigned>(*at++ - '0');
    if (at == digits || *at++ != '-' || id > 0xFFFFFFFFull)
        return false;
    for (std::size_t i = 0; i < randomDigits; ++i, ++at)
        if (!((*at >= '0' && *at <= '9') || (*at >= 'a' && *at <= 'f')))
            return false;
    processId = static_cast<DWORD>(id);
    return std::strcmp(at, temporarySuffix) == 0;
}

// Removes, once per folder and run, the temporary files that killed runs
// left in a folder, and only those whose writer has ended.
class Leftovers {
public:
    explicit Leftovers(std::string ownPrefix) : prefix(std::move(ownPrefix)) {}

    void sweep(const std::string& folder) {
        if (!swept.insert(folder).second)
            return;
        WIN32_FIND_DATAA found;
        const std::string pattern = folder + "/" + temporaryPrefix + "*" + temporarySuffix;
        HANDLE find = FindFirstFileA(pattern.c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return;
        const DWORD self = GetCurrentProcessId();
        do {
            DWORD writer = 0;
            if (temporaryFileOwner(found.cFileName, writer) && writer != self && processHasEnded(writer))
                remove(folder, folder + "/" + found.cFileName);
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }

private:
    // A link planted under a leftover's name must go, not what it leads to;
    // but Wine deletes the target of a Unix link given to DeleteFileA. So an
    // empty file of our own is first renamed over the name, which replaces
    // a link itself, and that file is deleted.
    void remove(const std::string& folder, const std::string& path) const {
        FileUtils::NewFile empty;
        if (empty.createUnique(folder, prefix, temporarySuffix) && empty.replace(path.c_str(), false))
            DeleteFileA(path.c_str());
    }

    const std::string prefix;
    std::unordered_set<std::string> swept;
};

// The bytes an entry takes up in the archive, from its local header to the
// end of its compressed data, read the way the library reads them (which
// then finds that header in its read buffer). False when the local header
// cannot be read: such an entry fails on its own.
bool entryRange(mz_zip_archive& archive, const mz_zip_archive_file_stat& entry, mz_uint64& begin, mz_uint64& end) {
    unsigned char header[30];
    if (archive.m_pRead(archive.m_pIO_opaque, entry.m_local_header_ofs, header, sizeof header) != sizeof header ||
        std::memcmp(header, "PK\x03\x04", 4) != 0)
        return false;
    const auto le16 = [&](int at) { return static_cast<mz_uint64>(header[at] | header[at + 1] << 8); };
    const mz_uint64 data = entry.m_local_header_ofs + sizeof header + le16(26) + le16(28);
    begin = entry.m_local_header_ofs;
    end = entry.m_comp_size > ~mz_uint64{0} - data ? ~mz_uint64{0} : data + entry.m_comp_size;
    return true;
}

// Whether an entry's declared size fits into the free space of the output
// volume. The system is asked again only when an entry might not fit into
// what was free at its last answer less what has been declared since, so a
// run of small entries costs no query each; when other writers take space
// in between, the write that runs out fails instead and is removed.
class FreeSpace {
public:
    bool fits(const std::string& folder, mz_uint64 size) {
        if (size == 0)
            return true;
        if (!known || size > available) {
            ULARGE_INTEGER free;
            known = GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr) != FALSE;
            if (!known)
                return true; // the system cannot tell: the write finds out
            available = free.QuadPart;
            if (size > available)
                return false;
        }
        available -= size;
        return true;
    }

private:
    bool known = false;
    mz_uint64 available = 0;
};

// Takes an entry's content from the library, in pieces of at most 64 KB, and
// writes it to the new file in larger ones. It refuses any byte past the
// declared size, so an entry that inflates to more than it declares stops
// there, whatever the library checks itself.
class EntryWriter {
public:
    EntryWriter(FileUtils::NewFile& target, mz_uint64 declaredSize, std::vector<char>& pieceBuffer)
        : file(target), declared(declaredSize), buffer(pieceBuffer) {}

    static size_t receive(void* self, mz_uint64 offset, const void* data, size_t size) {
        return static_cast<EntryWriter*>(self)->take(offset, data, size) ? size : 0;
    }

    // True when the whole declared content has arrived and is written.
    bool finish() { return flush() && received == declared; }

private:
    bool take(mz_uint64 offset, const void* data, std::size_t size) {
        if (offset != received || size > declared - received)
            return false;
        received += size;
        // A piece that completes the entry on its own needs no copy.
        if (used == 0 && received == declared)
            return file.write(data, size);
        if (used + size > buffer.size() && !flush())
            return false;
        if (size > buffer.size())
            return file.write(data, size);
        std::memcpy(buffer.data() + used, data, size);
        used += size;
        return true;
    }

    bool flush() {
        const bool written = used == 0 || file.write(buffer.data(), used);
        used = 0;
        return written;
    }

    FileUtils::NewFile& file;
    const mz_uint64 declared;
    std::vector<char>& buffer;
    std::size_t used = 0;
    mz_uint64 received = 0;
};

// The entry's stored time as its access and modification time, as the
// library gives it to the files it writes itself; a failure is ignored.
void giveEntryTime(HANDLE file, MZ_TIME_T time) {
    // Seconds since 1970 to 100-nanosecond steps since 1601.
    const long long ticks = (static_cast<long long>(time) + 11644473600LL) * 10000000LL;
    if (ticks < 0)
        return;
    const auto value = static_cast<unsigned long long>(ticks);
    const FILETIME stamp{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
    SetFileTime(file, nullptr, &stamp, &stamp);
}

// Writes one file entry into a new file of its own in `folder`, checks its
// size and CRC-32, gives it the entry's time and renames it over `path` in
// one step. A failure, or a kill at any moment, leaves whatever was at
// `path` as it was; a link there is replaced, never written through.
bool extractFile(mz_zip_archive& archive, mz_uint index, const mz_zip_archive_file_stat& entry,
                 const std::string& folder, const std::string& path, const std::string& prefix,
                 std::vector<char>& buffer) {
    if (!entry.m_is_supported)
        return false;
    FileUtils::NewFile file;
    if (!file.createUnique(folder, prefix, temporarySuffix))
        return false;
    EntryWriter writer(file, entry.m_uncomp_size, buffer);
    if (!mz_zip_reader_extract_to_callback(&archive, index, EntryWriter::receive, &writer, 0) || !writer.finish())
        return false;
    giveEntryTime(file.handle(), entry.m_time);
    // No need to ask about the folder again: should a level on the way have
    // been swapped for a link since, the new file's name leads there to
    // nothing, and the rename fails rather than put the entry elsewhere.
    // Another writer putting a file of the same name in place, or a virus
    // scanner looking at the last one, may hold the final name for a moment;
    // Windows then refuses the rename (5 or 32). A few short waits, 63 ms in
    // all, let that pass; a folder at that name keeps refusing.
    for (DWORD wait = 1;; wait *= 2) {
        if (file.replace(path.c_str(), false))
            return true;
        const DWORD code = GetLastError();
        if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) || wait > 32)
            return false;
        Sleep(wait);
    }
}

// The library opens the archive with the runtime's fopen, which waits on a
// FIFO for a writer that may never come; a file the system refuses to open
// for reading (a FIFO, a device, a folder) is no archive.
bool isReadableFile(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
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
    if (!isReadableFile(zip) || !mz_zip_reader_init_file(&archive, zip.c_str(), 0)) {
        log->log(ERROR, "Failed to open zip file: " + zip);
        return 2;
    }
    {
        const OpenArchive open(archive);
        const mz_uint count = mz_zip_reader_get_num_files(&archive);
        log->log(INFO, "Zip file contains " + std::to_string(count) + " files");

        CoveredRanges covered;
        const std::string prefix =
            temporaryPrefix + std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) + "-";
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
