// File-system services over narrow (ANSI code page) paths. Tests return a
// boolean and never throw; operations that change the file system throw
// FileUtils::IOException carrying the system's error code.
#pragma once

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

} // namespace FileUtils
