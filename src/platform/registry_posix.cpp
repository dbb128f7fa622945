// The registry value natively: a store of folders and files below the
// per-user data folder, vantrell/registry/<root>/<key>/<sub-key>/..., one
// folder per key. A key's values are files in its folder "\values" (a name no
// key can have), named by the value name ("(Default)" for the unnamed value)
// and holding the 4-byte little-endian type and the data. Key and value names
// match without regard to ASCII case, as on Windows. A key is only ever
// found, never made; the root folders are made on first use, as the
// predefined keys always exist on Windows. Every step below the data folder
// goes through the folder held open above it and follows no link.
#include "platform/registry.h"

#include "platform/file.h"
#include "platform/log_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Platform {

namespace {

// The codes the log shows for what the store itself decides.
constexpr ErrorCode kSuccess = 0;
constexpr ErrorCode kFileNotFound = 2;
constexpr ErrorCode kPathNotFound = 3;
constexpr ErrorCode kInvalidHandle = 6;
constexpr ErrorCode kInvalidParameter = 87;
constexpr ErrorCode kBadPathname = 161;
constexpr ErrorCode kKeyDeleted = 1018;

const char* const kDefaultValueFile = "(Default)";
// A key's values live in this folder of the key's own folder. No sub-key can
// have its name, since a key name never holds a backslash, so values and
// sub-keys stay apart as they do on Windows, whatever their names.
const char* const kValuesFolder = "\\values";
const std::size_t kMaxFileName = 255;
// Name collisions of a fresh pending file are chance; the tries stay bounded.
const int kPendingNameTries = 100;

const char* rootFolder(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::ClassesRoot:
        return "HKCR";
    case RegistryRoot::CurrentUser:
        return "HKCU";
    case RegistryRoot::LocalMachine:
        return "HKLM";
    case RegistryRoot::Users:
        return "HKU";
    case RegistryRoot::CurrentConfig:
        return "HKCC";
    case RegistryRoot::Unknown:
        break;
    }
    return nullptr;
}

bool equalsIgnoringAsciiCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b))
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y && !(x < 0x80 && y < 0x80 && std::tolower(x) == std::tolower(y)))
            return false;
    }
    return true;
}

bool isFolderEntry(int folder, const char* name) {
    struct stat st {};
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// A listing of `folder` from its start, with a descriptor of its own; null
// when the folder cannot be listed.
DIR* openListing(int folder) {
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr && listed >= 0)
        ::close(listed);
    return dir;
}

// The entry of `folder` named `name`, preferring the exact spelling, else any
// spelling that differs only in ASCII case; empty when there is none. A link
// is never a folder here.
std::string findEntry(int folder, const std::string& name, bool wantFolder) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) == wantFolder)
        return name;
    std::string found;
    DIR* dir = openListing(folder);
    if (dir == nullptr)
        return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (equalsIgnoringAsciiCase(name, entry->d_name) && isFolderEntry(folder, entry->d_name) == wantFolder) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Opens the folder `name` of `parent`, making it first when `make` is set;
// invalid with `code` set when that fails or a link stands at the name.
int openFolder(int parent, const char* name, bool make, ErrorCode& code) {
    if (make && ::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) {
        code = errorFromErrno(errno);
        return -1;
    }
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        code = errorFromErrno(errno);
    return fd;
}

// The per-user data folder: $XDG_DATA_HOME, else ~/.local/share, made as the
// desktop session would have made it. A link on its way is the user's own
// choice and is followed; below it nothing is.
int openDataFolder(ErrorCode& code) {
    const std::string dir = localAppDataFolder();
    if (dir.empty()) {
        code = kPathNotFound;
        return -1;
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        code = errorFromErrno(errno, dir.c_str());
    return fd;
}

// The store's own folder (vantrell/registry), made on demand.
int openStore(ErrorCode& code) {
    const File data(openDataFolder(code));
    if (!data.isOpen())
        return -1;
    const File vantrell(openFolder(data.native(), "vantrell", true, code));
    return vantrell.isOpen() ? openFolder(vantrell.native(), "registry", true, code) : -1;
}

// Follows the backslash-separated path down from `folder`; the key's folder,
// or invalid with `code` set.
int openSubKey(int folder, const std::string& path, ErrorCode& code) {
    if (!path.empty() && path[0] == '\\') {
        code = kBadPathname;
        return -1;
    }
    int current = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (current < 0) {
        code = errorFromErrno(errno);
        return -1;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        // A key with any of these names cannot be a folder of the store, so
        // it cannot exist; ".." must never lead out of the key.
        std::string found;
        if (name != "." && name != ".." && name.find('/') == std::string::npos && name.size() <= kMaxFileName)
            found = findEntry(current, name, true);
        const int next =
            found.empty() ? -1 : ::openat(current, found.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(current);
        if (next < 0) {
            // Gone or swapped for a link since it was seen: missing all the same.
            code = found.empty() || error == ENOENT || error == ELOOP || error == ENOTDIR ? kFileNotFound
                                                                                          : errorFromErrno(error);
            return -1;
        }
        current = next;
    }
    return current;
}

bool isStorableValueName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos && name.size() <= kMaxFileName &&
           !equalsIgnoringAsciiCase(name, kDefaultValueFile);
}

bool writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

// Creates a fresh file in `folder` exclusively, named "value-" and six
// random letters; its descriptor, or invalid with errno set.
int createPending(int folder, std::string& name) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < kPendingNameTries; ++attempt) {
        unsigned char random[6] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return -1;
        name = "value-";
        for (const unsigned char byte : random)
            name += letters[byte % (sizeof letters - 1)];
        const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Writes type and data beside the store and moves the file into place in one
// rename: the value is either the old one or the new one, never half.
ErrorCode replaceValueFile(int store, int values, const std::string& target, std::uint32_t type,
                           const std::string& data) {
    ErrorCode code = kSuccess;
    const File pending(openFolder(store, ".writing", true, code));
    if (!pending.isOpen())
        return code;
    std::string name;
    const int fd = createPending(pending.native(), name);
    if (fd < 0)
        return errorFromErrno(errno);
    const char header[4] = {static_cast<char>(type), static_cast<char>(type >> 8), static_cast<char>(type >> 16),
                            static_cast<char>(type >> 24)};
    int error = 0;
    if (!writeAll(fd, header, sizeof header) || !writeAll(fd, data.data(), data.size()) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::renameat(pending.native(), name.c_str(), values, target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlinkat(pending.native(), name.c_str(), 0);
        // The key's folder went away between the look-up and the rename.
        return error == ENOENT ? kKeyDeleted : errorFromErrno(error);
    }
    // Make the rename itself durable; the value is in place either way.
    ::fsync(values);
    return kSuccess;
}

// Stores before this layout kept each value as a file in its key's own
// folder. The first write into such a key moves them into its values folder
// under their names; one whose name (in any case) is already there is left
// where it is and no longer counts.
void moveOldValues(int key, int values) {
    DIR* dir = openListing(key);
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(key, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            !findEntry(values, entry->d_name, false).empty())
            continue;
        ::renameat2(key, entry->d_name, values, entry->d_name, RENAME_NOREPLACE);
    }
    ::closedir(dir);
}

} // namespace

struct RegistryKey::Open {
    File store;
    File key;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() { close(); }

ErrorCode RegistryKey::open(RegistryRoot root, const std::string& subKey) {
    const char* folder = rootFolder(root);
    if (folder == nullptr)
        return kInvalidHandle;
    ErrorCode code = kSuccess;
    File store(openStore(code));
    if (!store.isOpen())
        return code;
    const File rootKey(openFolder(store.native(), folder, true, code));
    if (!rootKey.isOpen())
        return code;
    const int key = openSubKey(rootKey.native(), subKey, code);
    if (key < 0)
        return code;
    open_.reset(new Open{std::move(store), File(key)});
    return kSuccess;
}

ErrorCode RegistryKey::setValue(const std::string& name, std::uint32_t type, const std::string& data) {
    if (open_ == nullptr)
        return kInvalidHandle;
    const std::string file = name.empty() ? kDefaultValueFile : name;
    if (!name.empty() && !isStorableValueName(name))
        return kInvalidParameter;
    const int key = open_->key.native();
    // A folder that is gone cannot take a new entry: the key was removed.
    if (::mkdirat(key, kValuesFolder, 0700) != 0 && errno != EEXIST)
        return errno == ENOENT ? kKeyDeleted : errorFromErrno(errno);
    ErrorCode code = kSuccess;
    const File values(openFolder(key, kValuesFolder, false, code));
    if (!values.isOpen())
        return code;
    moveOldValues(key, values.native());
    // Value names ignore case: an existing spelling is kept.
    const std::string existing = findEntry(values.native(), file, false);
    return replaceValueFile(open_->store.native(), values.native(), existing.empty() ? file : existing, type, data);
}

void RegistryKey::close() { open_.reset(); }

} // namespace Platform
