// Which stored zip entry names may be joined below an output folder.
#pragma once

#include <string>
#include <string_view>

// True when the name, appended to an output folder after a '/', names a
// place inside that folder that is not a device, on every system the helper
// is built for. Both '/' and '\' count as separators, so one archive behaves
// the same everywhere. False for the empty name, a leading separator (root,
// UNC or device namespace), any ':' (drive letter, alternate stream), any
// component made only of dots and blanks other than "." (such as "..", which
// Windows also reaches through "..." or ".. " by dropping trailing dots and
// blanks), and any component that Windows opens as a device (CON, PRN, AUX,
// NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, with any extension or case).
bool isConfinedEntryName(const char* name);

// The name as it may appear in a log line: control characters (below 0x20,
// and 0x7F) written as \n, \r, \t or \xHH, so that no name can end
// a line or drive a terminal; every other byte stays as it is.
std::string printableEntryName(std::string_view name);
