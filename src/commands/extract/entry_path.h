// Where a stored entry name lands below the output folder.
#pragma once

#include <string>
#include <vector>

// The entry's name as UTF-8. A name flagged as UTF-8, or one that is valid
// UTF-8 anyway (as many writers store it without the flag), is kept; any
// other is in code page 437, by the zip format's own rule, and is decoded.
std::string decodedEntryName(const std::string& stored, bool flaggedUtf8);

// The levels of a name, split at '/' and at '\' (which Windows reads as a
// separator, and which archives written on Windows use), empty levels and
// "." dropped. The last is the file's own name unless the entry is a folder.
std::vector<std::string> entryLevels(const std::string& name);

// What decides which file a path of levels lands on anywhere the helper
// runs: Windows ignores the case of ASCII letters and drops trailing dots
// and blanks of a level, so "A/b.txt." and "a/B.TXT" land on one file there,
// and are taken for one file everywhere.
std::string landingKey(const std::vector<std::string>& levels);
