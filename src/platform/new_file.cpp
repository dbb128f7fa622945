#include "platform/new_file.h"

#include "platform/clock.h"
#include "platform/error_code.h"
#include "platform/file_utils.h"
#include "platform/win32.h" // the error codes

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
            if (!systemRandom(pool, sizeof pool)) {
                // No random source: still never the same name twice in a run,
                // and unlikely across runs; exclusive creation keeps it safe.
                static std::atomic<std::uint64_t> counter{0};
                std::uint64_t mix = (static_cast<std::uint64_t>(Platform::currentProcessId()) << 32) ^
                                    Platform::monotonicMs() ^ (++counter * 0x9E3779B97F4A7C15ull);
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

bool NewFile::createUnique(const HeldFolder& folder, const std::string& prefix, const std::string& suffix,
                           unsigned mode) {
    discard();
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string name = prefix + randomHex(16) + suffix;
        file_ = folder.createFile(name, mode);
        if (file_.isOpen()) {
            folder_ = &folder;
            path_ = folder.path() + "/" + name;
            name_ = std::move(name);
            return true;
        }
        const Platform::ErrorCode code = Platform::lastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool NewFile::write(const void* data, std::size_t size) { return file_.write(data, size); }

bool NewFile::replaceIn(const std::string& name) {
    if (folder_ == nullptr) {
        Platform::setLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    file_.close(); // Windows renames no file over one that is open
    if (!folder_->replaceWithOwn(name_, name))
        return false;
    path_.clear();
    folder_ = nullptr;
    return true;
}

void NewFile::discard() {
    if (path_.empty())
        return;
    const Platform::ErrorCode code = Platform::lastError();
    file_.close();
    if (folder_ != nullptr)
        folder_->remove(name_);
    path_.clear();
    folder_ = nullptr;
    Platform::setLastError(code);
}

} // namespace FileUtils
