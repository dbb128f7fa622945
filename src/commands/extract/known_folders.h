// The folders below the output folder that entries are written into.
#pragma once

#include "platform/file_utils.h"

#include <string>
#include <unordered_map>
#include <unordered_set>

// Folders at or below the output folder that this run has created or found,
// none of them a link. An archive names the same few folders for thousands
// of entries: the file system is asked about each level once, and a new
// folder is made from its nearest known ancestor down. The output folder
// itself may be a link: that is the caller's choice.
class KnownFolders {
public:
    // The output folder exists (or is a file, which the first level made
    // below it finds out) once the command has made sure of it.
    explicit KnownFolders(const std::string& outDir);

    // Makes every missing level of a folder below the output folder. False,
    // making nothing below it, when a level is a link or other reparse
    // point: whatever lies behind it is not the caller's folder.
    bool reach(const std::string& folder);

    // Whether `folder` still leads to the folder this run found free of links
    // there. Someone else writing into the output folder may swap a level for
    // a link at any moment, so each entry asks again before its file is made.
    // The levels are looked at once per folder; after that one question about
    // the folder's identity suffices: a swapped level leads elsewhere.
    bool unchanged(const std::string& folder);

private:
    std::size_t knownAncestorLength(std::string folder) const;
    bool levelsWithoutLinks(const std::string& folder) const;
    void remember(std::string folder);

    std::string root;
    std::unordered_set<std::string> known;
    std::unordered_map<std::string, FileUtils::FolderIdentity> identities;
};

// Windows also reads a '\' in a stored name as a separator, so "a\b.txt"
// lands in folder a there: a level so named must not be a link either.
bool crossesLinkAtBackslash(const std::string& path, std::size_t nameStart);
