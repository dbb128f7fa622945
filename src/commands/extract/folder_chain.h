// The output folder and the folders below it that entries are written into,
// each held open from the output folder down.
#pragma once

#include "platform/held_folder.h"

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// An archive names the same few folders for thousands of entries: each is
// reached once, level by level from the output folder, never through a link,
// and then held, so that a level swapped for a link or another folder later
// changes nothing about where the entries go. The output folder itself may
// be a link: that is the caller's choice.
class FolderChain {
public:
    // Holds the output folder, which this run made or found; false with the
    // system's code (267 for a file).
    bool open(const std::string& outDir, bool madeHere);

    // The folder of the first `depth` levels below the output folder, made
    // where missing. Null, making nothing below it, with the code of the
    // level that failed: 1921 for a link there, 267 for a file, the
    // system's code for a name it refuses; the levels above stay made.
    // ERROR_TOO_MANY_OPEN_FILES (4) when more levels are needed than the
    // process can hold open at once (natively a descriptor each, under a
    // low `ulimit -n`): that entry is refused, and the next ones go on.
    // `madeHere` tells whether this run made the folder, so that nothing can
    // have been left in it.
    const FileUtils::HeldFolder* reach(const std::vector<std::string>& levels, std::size_t depth, bool& madeHere);

private:
    struct Level {
        FileUtils::HeldFolder folder;
        bool made = false;
    };
    // The folder of the first `depth` levels of `key`, from the nearest held
    // ancestor down, each opened level held; null with the failing level's
    // code.
    const Level* descend(const std::vector<std::string>& levels, std::size_t depth);

    // A run holds at most this many folders at once, and fewer when the
    // system runs out of handles (natively a descriptor each): then the
    // folders are let go and reached again as needed.
    static constexpr std::size_t maxHeld = 4096;
    // Handles kept free for the entry's own file and its folder's listing
    // once the system has run out.
    static constexpr std::size_t spareHandles = 8;

    Level root;
    std::size_t limit = maxHeld; // levels held at once, lowered when the system runs out
    std::unordered_map<std::string, std::unique_ptr<Level>> held; // key: the levels joined by '/'
    std::string key;
};
