#include "commands/extract/folder_chain.h"
#include "platform/error_code.h"

#include "platform/win32.h"

#include <algorithm>

bool FolderChain::open(const std::string& outDir, bool madeHere) {
    root.made = madeHere;
    return root.folder.open(outDir);
}

const FileUtils::HeldFolder* FolderChain::reach(const std::vector<std::string>& levels, std::size_t depth,
                                                bool& madeHere) {
    madeHere = false;
    if (!root.folder.isOpen()) {
        Platform::setLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    if (depth == 0) {
        madeHere = root.made;
        return &root.folder;
    }
    key.clear();
    for (std::size_t i = 0; i < depth; ++i)
        key.append(i == 0 ? "" : "/").append(levels[i]);
    if (const auto found = held.find(key); found != held.end()) {
        madeHere = found->second->made;
        return &found->second->folder;
    }
    // At most two tries: the second after every held folder is let go.
    for (int attempt = 0;; ++attempt) {
        if (depth > limit) {
            Platform::setLastError(ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
        if (held.size() + depth > limit)
            held.clear(); // on Windows a level is let go only with every level below it
        if (const Level* reached = descend(levels, depth)) {
            madeHere = reached->made;
            return &reached->folder;
        }
        if (Platform::lastError() != ERROR_TOO_MANY_OPEN_FILES)
            return nullptr;
        // Out of handles: as many levels fit as are held now, less a few
        // for the entry's own file and the listing of its folder.
        limit = std::min(limit, held.size() > spareHandles ? held.size() - spareHandles : 0);
        held.clear();
        if (attempt > 0) {
            Platform::setLastError(ERROR_TOO_MANY_OPEN_FILES);
            return nullptr;
        }
    }
}

const FolderChain::Level* FolderChain::descend(const std::vector<std::string>& levels, std::size_t depth) {
    // The nearest held ancestor, then each missing level down from it.
    std::size_t from = depth;
    std::size_t length = key.size();
    const Level* parent = &root;
    while (--from > 0) {
        length -= levels[from].size() + 1;
        if (const auto found = held.find(key.substr(0, length)); found != held.end()) {
            parent = found->second.get();
            break;
        }
    }
    if (from == 0)
        length = 0;
    for (std::size_t i = from; i < depth; ++i) {
        auto level = std::make_unique<Level>();
        if (!level->folder.open(parent->folder, levels[i], true, &level->made))
            return nullptr;
        length += (i == 0 ? 0 : 1) + levels[i].size();
        parent = held.emplace(key.substr(0, length), std::move(level)).first->second.get();
    }
    return parent;
}
