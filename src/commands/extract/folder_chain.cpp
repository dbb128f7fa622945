#include "commands/extract/folder_chain.h"

bool FolderChain::open(const std::string& outDir, bool madeHere) {
    root.made = madeHere;
    return root.folder.open(outDir);
}

const FileUtils::HeldFolder* FolderChain::reach(const std::vector<std::string>& levels, std::size_t depth,
                                                bool& madeHere) {
    madeHere = false;
    if (!root.folder.isOpen()) {
        SetLastError(ERROR_DIRECTORY);
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
    if (held.size() >= maxHeld)
        held.clear(); // on Windows a level is let go only with every level below it
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
        if (!level->folder.open(parent->folder, levels[i], true, &level->made)) {
            if (GetLastError() != ERROR_TOO_MANY_OPEN_FILES || held.empty())
                return nullptr;
            // Out of handles: let every held folder go and start again.
            held.clear();
            return reach(levels, depth, madeHere);
        }
        length += (i == 0 ? 0 : 1) + levels[i].size();
        parent = held.emplace(key.substr(0, length), std::move(level)).first->second.get();
    }
    madeHere = parent->made;
    return &parent->folder;
}
