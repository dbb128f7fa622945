#include "commands/update/update_lock.h"

#include "platform/file_utils.h"

#include <cstdint>
#include <cstdio>

UpdateLock::~UpdateLock() {
    if (held_)
        ReleaseMutex(mutex_);
    if (mutex_ != nullptr)
        CloseHandle(mutex_);
}

bool UpdateLock::take(const FileUtils::HeldFolder& folder, const std::string& name, unsigned long waitMs) {
    FileUtils::FolderIdentity identity;
    if (!folder.identify(identity))
        return false;
    // File names compare without regard to ASCII case on Windows; natively
    // the same rule only makes two names share one lock.
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : name) {
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        hash = (hash ^ static_cast<unsigned char>(lower)) * 1099511628211ull;
    }
    char text[96];
    std::snprintf(text, sizeof text, "Global\\vantrell-update-%08lx-%08lx%08lx-%016llx",
                  static_cast<unsigned long>(identity.volume), static_cast<unsigned long>(identity.indexHigh),
                  static_cast<unsigned long>(identity.indexLow), static_cast<unsigned long long>(hash));
    mutex_ = CreateMutexA(nullptr, FALSE, text);
    if (mutex_ == nullptr)
        return false;
    const DWORD result = WaitForSingleObject(mutex_, static_cast<DWORD>(waitMs));
    // An abandoned mutex is held now too: its holder was killed, and the
    // journal tells what it left.
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return held_;
}
