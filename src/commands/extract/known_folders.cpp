#include "commands/extract/known_folders.h"

#include "platform/win32.h"

namespace {

std::string withoutTrailingSlashes(std::string folder) {
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// Cuts the folder at its last '/', dropping a run of them.
bool toParent(std::string& folder) {
    const std::size_t slash = folder.rfind('/');
    if (slash == std::string::npos)
        return false;
    folder.resize(slash);
    folder = withoutTrailingSlashes(std::move(folder));
    return true;
}

} // namespace

KnownFolders::KnownFolders(const std::string& outDir) : root(withoutTrailingSlashes(outDir)) { known.insert(root); }

bool KnownFolders::reach(const std::string& folder) {
    std::string key = withoutTrailingSlashes(folder);
    if (known.count(key) != 0)
        return true;
    if (!FileUtils::createDirectoriesWithoutLinks(folder.c_str(), knownAncestorLength(key)))
        return false;
    remember(std::move(key));
    return true;
}

bool KnownFolders::unchanged(const std::string& folder) {
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

// Length of the longest known folder that the given one lies in; it
// always ends just before a '/' of the given path.
std::size_t KnownFolders::knownAncestorLength(std::string folder) const {
    while (folder.size() > root.size() && toParent(folder))
        if (known.count(folder) != 0)
            return folder.size();
    return 0;
}

bool KnownFolders::levelsWithoutLinks(const std::string& folder) const {
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
void KnownFolders::remember(std::string folder) {
    while (folder.size() > root.size() && known.insert(folder).second && toParent(folder)) {
    }
}

bool crossesLinkAtBackslash(const std::string& path, std::size_t nameStart) {
    for (std::size_t at = path.find('\\', nameStart); at != std::string::npos; at = path.find('\\', at + 1)) {
        const DWORD attributes = GetFileAttributesA(path.substr(0, at).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return true;
    }
    return false;
}
