// File-system services over narrow (ANSI code page) paths. Tests return a
// boolean and never throw; operations that change the file system throw
// FileUtils::IOException carrying the system's error code.
#pragma once

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string>

namespace FileUtils {

// Message is the given text + " GetLastError returned: " + the calling
// thread's last-error code, read when the exception is constructed.
class IOException : public std::exception {
public:
    explicit IOException(const std::string& text);
    const char* what() const noexcept override;

private:
    std::string message;
};

// Throws IOException with the pieces joined, keeping the last-error code of
// the system call that has just failed.
[[noreturn]] void throwLastError(std::initializer_list<const char*> pieces);

// What stands at a path, the last name looked at itself: `link` for a
// symbolic link (or, on Windows, any reparse point), `folder` for a folder
// or a link that leads to one; nothing exists when the system sees nothing
// there (its code then kept).
struct PathLook {
    bool exists = false;
    bool folder = false;
    bool link = false;
};
PathLook lookAt(const char* path);
// Makes the one folder `path`. False with the system's code: 183 when
// something is there, 3 when its parent is missing.
bool makeFolder(const char* path);
// The system's folder for temporary files, ending in its separator; empty
// with the system's code when it cannot be told.
std::string temporaryFolder();
// Asks the system to delete `path` when it next starts (Windows; needs
// administrator rights). Natively there is no such queue, and the temporary
// folder is cleared by the system anyway: true. False with the system's code.
bool deleteAtRestart(const char* path);
// Fills `size` bytes from the system's random source. False when it has
// none to give.
bool systemRandom(void* buffer, std::size_t size);

// True for anything that exists at the path, folders included.
bool fileExists(const char* path);
// True only for an existing folder.
bool directoryExists(const char* path);
// Creates one folder level; throws "Unable to create directory <path>", also
// when it already exists (183) or its parent is missing (3).
void createDirectory(const char* path);

// Copies with every '\' turned into '/', or every '/' into '\'.
std::string toForwardSlashes(const std::string& path);
std::string toBackslashes(const std::string& path);
// `path` cut at its last separator, either one: the folder before it ("."
// when there is none, the root itself for "/name") and the last name (empty
// when the path ends in a separator).
struct FolderAndName {
    std::string folder;
    std::string name;
};
FolderAndName splitAtLastSeparator(const std::string& path);
// The path as the system's own calls want it: with backslashes on Windows;
// unchanged where '\' is a character of a name.
std::string toSystemSeparators(const std::string& path);

// Creates every missing level of a path read as components separated by '/'
// alone (a backslash is an ordinary character here), like `mkdir -p`. Levels
// that already exist, file or folder, are passed over; the empty path and a
// trailing '/' create nothing more. Throws "Unable to create directory
// <prefix>" for the first level the system refuses; levels made before stay.
// A caller that knows the first `existingLength` characters to name an
// existing folder, ending just before a '/', has those levels passed over
// without asking the system about them again. A level that another process
// makes between the test and the creation is passed over once it is a folder.
void createDirectories(const char* path, std::size_t existingLength = 0);

} // namespace FileUtils
