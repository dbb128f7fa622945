// Replacing a file by a copy, and removing a file that may be in use.
#include "platform/file_utils.h"

#include "log/logger.h"
#include "platform/in_use.h"
#include "platform/new_file.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

namespace FileUtils {

namespace {

// Large enough that the per-call cost vanishes next to the disk's time.
constexpr DWORD kCopyChunk = 4u << 20;

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid())
            CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The last path component: what follows the last '/', '\' or drive colon.
std::string lastComponent(const std::string& path) {
    const auto cut = path.find_last_of("/\\:");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// What precedes the last path component, its separator included.
std::string folderPart(const std::string& path) { return path.substr(0, path.size() - lastComponent(path).size()); }

// Names for the partial copy near the path limit: "~vt" and hex digits in
// the destination's folder, no longer than its own name where that allows
// at least 4 digits.
std::size_t shortNameDigits(const char* destination) {
    const std::size_t own = lastComponent(destination).size();
    return std::min<std::size_t>(std::max<std::size_t>(own, 7) - 3, 8);
}

// The same short name for every update of one destination, so that the next
// update finds what a killed one left.
std::string shortPartialName(const char* destination) {
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (const char* c = destination; *c != '\0'; ++c)
        hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
    static const char hex[] = "0123456789abcdef";
    std::string name = folderPart(destination) + "~vt";
    for (std::size_t i = 0; i < shortNameDigits(destination); ++i)
        name += hex[(hash >> (28 - 4 * i)) & 0xF];
    return name;
}

// Creates `out` under a new random short name in the destination's folder.
bool createFresh(NewFile& out, const char* destination) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (out.create(folderPart(destination) + "~vt" + randomHex(shortNameDigits(destination))))
            return true;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// Asks for write access to `name`. A copy in progress holds its partial file
// without sharing writes (32 or 33), and a name may be too long for the
// system (206; Wine renames to such a name but not from it): either refuses
// the name. Otherwise (nothing there, a leftover, a link) 0.
DWORD refusalOf(const std::string& name) {
    FileHandle held(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const DWORD code = held.valid() ? ERROR_SUCCESS : GetLastError();
    return inUse(code) || code == ERROR_FILENAME_EXCED_RANGE ? code : ERROR_SUCCESS;
}

// Gives `out`'s file the name `name`. Whatever is there, a killed run's
// leftover or a link planted to redirect the copy, is replaced by the
// rename: never opened for writing through, never deleted by its name
// (Wine follows a link even to delete it). Another run's copy in progress
// is left alone. False with the code of the refusal.
bool takeName(NewFile& out, const std::string& name) {
    if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Nothing there: a rename that never replaces cannot take the name
        // from a copy that has just taken it.
        if (out.moveTo(name, false))
            return true;
        if (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS)
            SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    if (const DWORD code = refusalOf(name)) {
        SetLastError(code);
        return false;
    }
    return out.moveTo(name, true);
}

} // namespace

void copyFile(const char* source, const char* destination, unsigned long inUseMs) {
    const auto fail = [&] { throwLastError({"Failed to copy ", source, " to ", destination}); };

    // Ask for write access to the destination up front, as a plain copy
    // would: a folder, a missing or rejected path and a file held by another
    // program all fail here, before anything is written. An app that is
    // still quitting lets go of its archive soon: wait for that.
    const auto openDestination = [&] {
        FileHandle probe(CreateFileA(destination, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
        return probe.valid() || GetLastError() == ERROR_FILE_NOT_FOUND;
    };
    if (!tryWhileInUse(destination, inUseMs, inUse, openDestination))
        fail();
    // Shared for reading only: nobody may change the update while it is read.
    FileHandle in(
        CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid())
        fail();
    // Once more with the update open: the update itself under another name
    // is now refused (32), by our own handle.
    if (!openDestination())
        fail();

    NewFile out;
    if (!createFresh(out, destination))
        fail();
    const auto discardAndFail = [&] {
        out.discard();
        fail();
    };
    std::string other = shortPartialName(destination);
    if (!takeName(out, std::string(destination) + partialSuffix)) {
        if (GetLastError() != ERROR_FILENAME_EXCED_RANGE || !takeName(out, other))
            discardAndFail();
        other = std::string(destination) + partialSuffix;
    }
    // A leftover under the other name (the path limit differed then) goes
    // the same way; if it cannot, it does not stop the update.
    if (GetFileAttributesA(other.c_str()) != INVALID_FILE_ATTRIBUTES && refusalOf(other) == ERROR_SUCCESS) {
        NewFile sweep;
        if (createFresh(sweep, destination))
            sweep.moveTo(other, true);
    }

    const std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.get(), kCopyChunk, &got, nullptr))
            discardAndFail();
        if (got == 0)
            break;
        if (!out.write(buffer.get(), got))
            discardAndFail();
    }
    // The data must be on disk before the name points to it, or a power
    // loss right after the swap could leave an empty or torn archive. A
    // destination that is open elsewhere refuses to be replaced (5 as well).
    const auto replaceable = [](DWORD code) { return inUse(code) || code == ERROR_ACCESS_DENIED; };
    if (!tryWhileInUse(destination, inUseMs, replaceable, [&] { return out.replace(destination, true); }))
        discardAndFail();
}

void removeFile(const char* path, unsigned long inUseMs) {
    if (tryWhileInUse(path, inUseMs, inUse, [&] { return DeleteFileA(path) != FALSE; }))
        return;
    const DWORD refusal = GetLastError();
    if (refusal == ERROR_FILE_NOT_FOUND)
        return;
    if (refusal != ERROR_ACCESS_DENIED)
        throwLastError({"Unable to remove file ", path});

    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof temp, temp);
    const std::string name = lastComponent(path);
    if (length == 0 || length >= sizeof temp || name.empty()) {
        // Nowhere to park it: report the refused delete itself.
        SetLastError(refusal);
        throwLastError({"Unable to remove file ", path});
    }
    const std::string base = toForwardSlashes(std::string(temp, length)) + "/" + name;
    std::string candidate = base;
    for (unsigned long n = 1; GetFileAttributesA(candidate.c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
        candidate = base + "_" + std::to_string(n);

    Logger::instance()->log(WARN, "Unable to remove file " + std::string(path) + " - it may be in use.  Moving to " +
                                      candidate + " and scheduling delete on reboot.");
    if (!MoveFileA(path, candidate.c_str()))
        throwLastError({"Unable to rename ", path, " to ", candidate.c_str()});
    // Best effort: the parked file sits in the temporary folder either way.
    MoveFileExA(candidate.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

} // namespace FileUtils
