// The log's folder and file natively: the XDG data folder, our folder and
// the log opened by one name relative to the descriptor of the level above,
// neither through a link.
#include "platform/log_file.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// Windows' codes, as the log shows them.
constexpr ErrorCode kInvalidHandle = 6;
constexpr ErrorCode kAlreadyExists = 183;

int descriptor(void* handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)) - 1; }
void* stored(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1); }

bool fail(ErrorCode code) {
    setLastError(code);
    return false;
}

// Why `name` in `folder` could not be opened as what was asked: a link
// there (ELOOP, or ENOTDIR for a link to a file) is told apart from the
// rest.
ErrorCode openFailure(int error, int folder, const char* name, const std::string& path) {
    struct stat st {};
    if (error == ELOOP ||
        (error == ENOTDIR && ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
        return kLinkRefusedError;
    return errorFromErrno(error, path.c_str());
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

LogFolder::~LogFolder() {
    if (handle_ != nullptr)
        ::close(descriptor(handle_));
}

bool LogFolder::open(const std::string& parent, const char* name) {
    if (handle_ != nullptr)
        return true;
    const std::string path = parent + "/" + name;
    // The per-user folder is the user's to place: links on its way are followed.
    const int root = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return fail(errorFromErrno(errno, path.c_str()));
    // Made when missing; whatever is at the name is then opened, never
    // through a link, and only as a folder.
    const int made = ::mkdirat(root, name, 0777) == 0 ? 0 : errno;
    const int folder = ::openat(root, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ErrorCode code = 0;
    if (folder < 0) {
        const int error = made != 0 && made != EEXIST ? made : errno;
        code = openFailure(error, root, name, path);
        // A file at the name reads as the name being taken, as on Windows.
        if (error == ENOTDIR && code != kLinkRefusedError)
            code = kAlreadyExists;
    }
    ::close(root);
    if (folder < 0)
        return fail(code);
    handle_ = stored(folder);
    return true;
}

LogFile::~LogFile() {
    if (owned_ && handle_ != nullptr)
        ::close(descriptor(handle_));
}

LogFile& LogFile::standardError() {
    static LogFile stream(stored(STDERR_FILENO), false);
    return stream;
}

bool LogFile::open(const LogFolder& folder, const char* name) {
    if (handle_ != nullptr)
        return true;
    if (folder.handle_ == nullptr)
        return fail(kInvalidHandle);
    const int parent = descriptor(folder.handle_);
    // Append only: every write goes to the end of the file as it is then,
    // also when another process appends at the same time. Reading tells
    // whether the file ends inside a line. Not blocking: a pipe planted at
    // the name is refused below rather than waited on.
    const int fd =
        ::openat(parent, name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(openFailure(errno, parent, name, name));
    // Only a plain file of one name: a second name may be one a user gave a
    // file that is not theirs to have appended to.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        return fail(kLinkRefusedError);
    }
    handle_ = stored(fd);
    owned_ = true;
    return true;
}

bool LogFile::append(const char* data, std::size_t length) const {
    if (handle_ == nullptr)
        return fail(kInvalidHandle);
    ssize_t written;
    do
        written = ::write(descriptor(handle_), data, length);
    while (written < 0 && errno == EINTR);
    if (written < 0)
        return fail(errorFromErrno(errno));
    return static_cast<std::size_t>(written) == length;
}

bool LogFile::endsMidLine() const {
    struct stat st {};
    if (handle_ == nullptr || ::fstat(descriptor(handle_), &st) != 0 || st.st_size == 0)
        return false;
    char octet = '\n';
    return ::pread(descriptor(handle_), &octet, 1, st.st_size - 1) == 1 && octet != '\n';
}

LogFile::Turn LogFile::tryTurn() const {
    // Held by this open file, not by the process, so that closing some other
    // descriptor of the file never drops it.
    struct flock range = turnRange(F_WRLCK);
    if (handle_ != nullptr && ::fcntl(descriptor(handle_), F_OFD_SETLK, &range) == 0)
        return Turn::Taken;
    return handle_ != nullptr && (errno == EAGAIN || errno == EACCES) ? Turn::Busy : Turn::Failed;
}

void LogFile::endTurn() const {
    struct flock range = turnRange(F_UNLCK);
    ::fcntl(descriptor(handle_), F_OFD_SETLK, &range);
}

} // namespace Platform
