// The log natively: the XDG data folder, and the log opened by one name
// relative to our folder's descriptor, never through a link.
#include "platform/log_file.h"

#include "platform/win32.h" // the error codes

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Platform {

namespace {

bool fail(ErrorCode code) {
    setLastError(code);
    return false;
}

// A lock this far past the end covers no byte anyone reads or writes.
struct flock turnRange(short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(0x4000000000000000LL);
    range.l_len = 1;
    return range;
}

} // namespace

std::string localAppDataFolder() {
    std::string folder;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg == '/')
        folder = xdg;
    else if (home != nullptr && *home == '/')
        folder = std::string(home) + "/.local/share";
    else
        return std::string();
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.size() >= PATH_MAX)
        return std::string();
    // Made the way a desktop session would have; a level that cannot be made
    // leaves the rest to fail where the folder is used.
    for (std::size_t i = 1; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/') {
            if (::mkdir(folder.substr(0, i).c_str(), 0777) != 0 && errno != EEXIST)
                break;
        }
    }
    return folder;
}

LogFile& LogFile::standardError() {
    static LogFile stream(STDERR_FILENO);
    return stream;
}

bool LogFile::open(const FileUtils::HeldFolder& folder, const char* name) {
    if (isOpen())
        return true;
    if (!folder.isOpen())
        return fail(ERROR_INVALID_HANDLE);
    // Append only: every write goes to the end of the file as it is then,
    // also when another process appends at the same time. Reading tells
    // whether the file ends inside a line. Not blocking: a pipe planted at
    // the name is refused below rather than waited on.
    File file(::openat(folder.handle(), name,
                       O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (!file.isOpen())
        return fail(errno == ELOOP ? kLinkRefusedError : errorFromErrno(errno));
    // Only a plain file of one name: a second name may be one a user gave a
    // file that is not theirs to have appended to.
    struct stat st {};
    if (::fstat(file.native(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return fail(kLinkRefusedError);
    owned_ = std::move(file);
    handle_ = owned_.native();
    return true;
}

bool LogFile::append(const char* data, std::size_t length) const {
    if (!isOpen())
        return fail(ERROR_INVALID_HANDLE);
    ssize_t written;
    do
        written = ::write(handle_, data, length);
    while (written < 0 && errno == EINTR);
    if (written < 0)
        return fail(errorFromErrno(errno));
    return static_cast<std::size_t>(written) == length;
}

LogFile::Turn LogFile::tryTurn() const {
    // Held by this open file, not by the process, so that closing some other
    // descriptor of the file never drops it.
    struct flock range = turnRange(F_WRLCK);
    if (isOpen() && ::fcntl(handle_, F_OFD_SETLK, &range) == 0)
        return Turn::Taken;
    return isOpen() && (errno == EAGAIN || errno == EACCES) ? Turn::Busy : Turn::Failed;
}

void LogFile::endTurn() const {
    struct flock range = turnRange(F_UNLCK);
    ::fcntl(handle_, F_OFD_SETLK, &range);
}

} // namespace Platform
