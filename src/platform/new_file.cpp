#include "platform/new_file.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace FileUtils {

std::string randomHex(std::size_t digits) {
    static const char hex[] = "0123456789abcdef";
    // Drawn from the system in blocks: an extraction names a file per entry,
    // and one call for each would cost more than the name is worth.
    thread_local unsigned char pool[256];
    thread_local std::size_t used = sizeof pool;
    std::string text;
    text.reserve(digits);
    while (text.size() < digits) {
        if (used == sizeof pool) {
            used = 0;
            if (!RtlGenRandom(pool, sizeof pool)) {
                // No random source: still never the same name twice in a run,
                // and unlikely across runs; exclusive creation keeps it safe.
                static std::atomic<std::uint64_t> counter{0};
                std::uint64_t mix = (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount64() ^
                                    (++counter * 0x9E3779B97F4A7C15ull);
                for (unsigned char& byte : pool) {
                    mix ^= mix >> 29;
                    mix *= 0xBF58476D1CE4E5B9ull;
                    byte = static_cast<unsigned char>(mix >> 56);
                }
            }
        }
        const unsigned char byte = pool[used];
        pool[used++] = 0; // a drawn byte is not kept
        text += hex[byte >> 4];
        if (text.size() < digits)
            text += hex[byte & 0x0F];
    }
    return text;
}

bool isRandomHex(const char* text, std::size_t digits) {
    for (std::size_t i = 0; i < digits; ++i)
        if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f')))
            return false;
    return true;
}

NewFile::~NewFile() { discard(); }

bool NewFile::create(const std::string& path) {
    discard();
    // CREATE_NEW fails on any existing name; not following a reparse point
    // keeps a dangling link from having its target created.
    // Sharing only deletion lets the file be renamed or dropped while held,
    // and nobody else can open it for writing in between.
    handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        return false;
    path_ = path;
    return true;
}

bool NewFile::createUnique(const std::string& folder, const std::string& prefix, const std::string& suffix) {
    // A taken name is someone's file, or a name planted in the hope of being
    // written through: either way try another, a bounded number of times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (create(folder + "/" + prefix + randomHex(16) + suffix))
            return true;
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool NewFile::createUnique(const HeldFolder& folder, const std::string& prefix, const std::string& suffix,
                           unsigned mode) {
    discard();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = prefix + randomHex(16) + suffix;
        handle_ = folder.createFile(name, mode);
        if (handle_ != INVALID_HANDLE_VALUE) {
            folder_ = &folder;
            path_ = folder.path() + "/" + name;
            name_ = std::move(name);
            return true;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool NewFile::write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(handle_, bytes, chunk, &put, nullptr))
            return false;
        if (put != chunk) {
            SetLastError(ERROR_DISK_FULL); // a disk file takes all of a write or reports why not
            return false;
        }
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

bool NewFile::moveTo(const std::string& path, bool replaceExisting) {
    if (!MoveFileExA(path_.c_str(), path.c_str(), replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0u))
        return false;
    path_ = path;
    return true;
}

bool NewFile::replace(const char* destination, bool durable) {
    if (durable) {
        // Held to the end: a file that others may know the name of cannot be
        // taken over by them while this one waits to be put in place.
        if (!FlushFileBuffers(handle_))
            return false;
    } else {
        // Closed first: Windows refuses to rename over a file that is still
        // open, so writers racing for one name would fail until we let go.
        // Until the rename its unguessable name keeps it ours.
        close();
    }
    if (!MoveFileExA(path_.c_str(), destination, MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0u)))
        return false;
    close();
    path_.clear();
    return true;
}

bool NewFile::replaceIn(const std::string& name) {
    if (folder_ == nullptr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    close(); // Windows renames no file over one that is open
    if (!folder_->replaceWithOwn(name_, name))
        return false;
    path_.clear();
    folder_ = nullptr;
    return true;
}

void NewFile::close() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void NewFile::discard() {
    if (path_.empty())
        return;
    const DWORD code = GetLastError();
    close();
    if (folder_ != nullptr)
        folder_->remove(name_);
    else
        DeleteFileA(path_.c_str());
    path_.clear();
    folder_ = nullptr;
    SetLastError(code);
}

} // namespace FileUtils
