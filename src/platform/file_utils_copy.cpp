// Replacing a file by a copy, and removing a file that may be in use.
#include "platform/file_utils.h"

#include "log/logger.h"
#include "platform/new_file.h"
#include "platform/win32.h"

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

} // namespace

void copyFile(const char* source, const char* destination) {
    const auto fail = [&] { throwLastError({"Failed to copy ", source, " to ", destination}); };

    // Shared for reading only: nobody may change the update while it is read.
    FileHandle in(
        CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.valid())
        fail();
    {
        // Ask for write access to the destination up front, as a plain copy
        // would: a folder, a missing or rejected path, a file held by another
        // program, and the source itself under another name all fail here,
        // before anything is written.
        FileHandle probe(CreateFileA(destination, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
        if (!probe.valid() && GetLastError() != ERROR_FILE_NOT_FOUND)
            fail();
    }

    const std::string partial = std::string(destination) + partialSuffix;
    // Whatever sits at the partial name (an earlier run's leftover, or a link
    // planted to redirect the copy) goes first; deleting a link removes the
    // link, never its target. A copy in progress holds its partial file
    // without sharing writes, which the probe finds (32): that run's file is
    // left alone and this copy fails.
    {
        FileHandle held(CreateFileA(partial.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!held.valid() && (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION))
            fail();
    }
    DeleteFileA(partial.c_str());
    NewFile out;
    if (!out.create(partial))
        fail();
    const auto discardAndFail = [&] {
        out.discard();
        fail();
    };

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
    // loss right after the swap could leave an empty or torn archive.
    if (!out.replace(destination, true))
        discardAndFail();
}

void removeFile(const char* path) {
    if (DeleteFileA(path))
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
