#include "commands/extract/leftovers.h"
#include "platform/error_code.h"

#include "platform/clock.h"
#include "platform/new_file.h"
#include "platform/process.h"

#include <cstring>
#include <vector>

const char* const temporaryPrefix = ".vantrell-";
const char* const temporarySuffix = ".tmp";

namespace {
constexpr std::size_t randomDigits = 16;
}

std::string ownTemporaryPrefix() { return temporaryPrefix + std::to_string(Platform::currentProcessId()) + "-"; }

bool temporaryFileOwner(const char* name, std::uint32_t& processId) {
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
    if (!FileUtils::isRandomHex(at, randomDigits))
        return false;
    processId = static_cast<std::uint32_t>(id);
    return std::strcmp(at + randomDigits, temporarySuffix) == 0;
}

void Leftovers::sweep(const FileUtils::HeldFolder& folder) {
    if (!swept.insert(folder.path()).second)
        return;
    // Listed through the held handle, so that only names of the folder held
    // are looked at, and never a folder under one of our names. A
    // listing cut short sweeps less: it is only tidying.
    std::vector<FileUtils::FolderEntry> entries;
    folder.list(entries);
    const std::uint32_t self = Platform::currentProcessId();
    for (const FileUtils::FolderEntry& entry : entries) {
        std::uint32_t writer = 0;
        if (entry.kind != FileUtils::EntryKind::Folder && temporaryFileOwner(entry.name.c_str(), writer) &&
            writer != self && processHasEnded(writer))
            folder.remove(entry.name);
    }
}
