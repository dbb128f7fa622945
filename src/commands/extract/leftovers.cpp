#include "commands/extract/leftovers.h"

#include "platform/new_file.h"
#include "platform/process.h"

#include <cstring>

const char* const temporaryPrefix = ".vantrell-";
const char* const temporarySuffix = ".tmp";

namespace {
constexpr std::size_t randomDigits = 16;
}

std::string ownTemporaryPrefix() {
    return temporaryPrefix + std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) + "-";
}

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
    if (!FileUtils::isRandomHex(at, randomDigits))
        return false;
    processId = static_cast<DWORD>(id);
    return std::strcmp(at + randomDigits, temporarySuffix) == 0;
}

void Leftovers::sweep(const FileUtils::HeldFolder& folder) {
    if (!swept.insert(folder.path()).second)
        return;
    // The listing goes by name, but only what the held folder itself holds
    // under a listed name is removed.
    WIN32_FIND_DATAA found;
    const std::string pattern = folder.path() + "/" + temporaryPrefix + "*" + temporarySuffix;
    HANDLE find = FindFirstFileA(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    const DWORD self = GetCurrentProcessId();
    do {
        DWORD writer = 0;
        if (temporaryFileOwner(found.cFileName, writer) && writer != self && processHasEnded(writer))
            folder.remove(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}
