// What the log needs from the system: the per-user folder, our folder in it
// held open, the log file opened relative to that folder, and standard
// error. The helper often runs elevated in a folder an ordinary user can
// write to: neither our folder nor the log is ever reached through a link
// (on Windows a symbolic link or junction) planted at its name; only the
// per-user folder itself is followed, as the user set it. Failures leave
// their code in Platform::lastError().
#pragma once

#include "platform/error_code.h"
#include "platform/file.h"
#include "platform/held_folder.h"

#include <cstddef>
#include <string>

namespace Platform {

// The code of a refused link (ERROR_CANT_RESOLVE_FILENAME).
constexpr ErrorCode kLinkRefusedError = 1921;

// The per-user local application data folder with '/' separators (Windows:
// %LOCALAPPDATA%; natively $XDG_DATA_HOME, else $HOME/.local/share, made
// when missing as a desktop session would); empty when the system reports
// none.
std::string localAppDataFolder();

// Holds our folder `name` in the per-user folder `root` (followed as given)
// as `folder`, made when missing: true on success; false with the code that
// making the folder by its path reports: kLinkRefusedError when a link is at
// `name`, 183 when a file is, 3 when `root` is missing or no folder, else
// the system's code.
bool holdLogFolder(const std::string& root, const char* name, FileUtils::HeldFolder& folder);

// A file lines are appended to: the log, or standard error.
class LogFile {
public:
    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Standard error as the system gives it now; not open when the process
    // has none.
    static LogFile& standardError();

    // Opens `name` in `folder`, made when missing, for appending only and
    // for reading, shared with other processes for reading, writing and
    // deleting, a link at the name never followed: true on success; false
    // with the system's code (6 when `folder` is not open, kLinkRefusedError
    // for a link, a pipe or a file of several names). A second call keeps
    // the first file.
    bool open(const FileUtils::HeldFolder& folder, const char* name);
    bool isOpen() const { return handle_ != File::invalid(); }

    // The bytes at the file's end in one system write: true when all were
    // taken; false, with the code, on a short or failed write or when not open.
    bool append(const char* data, std::size_t length) const;
    // Whether the file's last byte is something other than '\n': false for
    // an empty file, standard error, or one that cannot be read.
    bool endsMidLine();

    enum class Turn { Taken, Busy, Failed };
    // The exclusive byte-range lock far past any end the file reaches
    // (mandatory on Windows, so it must cover no byte anyone reads or
    // writes), without waiting: Taken, Busy while another holds it, Failed.
    Turn tryTurn() const;
    void endTurn() const;

private:
    explicit LogFile(NativeFile borrowed) : handle_(borrowed) {}
    // The log opened here; none for standard error, which is never closed.
    File owned_;
    // What lines are written to: the owned file's handle, or standard error's.
    NativeFile handle_ = File::invalid();
};

} // namespace Platform
