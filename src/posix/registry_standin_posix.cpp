// POSIX stand-in for the registry calls and the WOW64 test. Keys are folders
// of the store below the per-user data folder, values are files in a folder
// of their key's (see win32_standin.h for the layout). A key is only ever
// found, never made; the five root folders are made on first use, as the
// predefined keys always exist on Windows.
#include "posix/win32_standin.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// What an HKEY handed out by RegOpenKeyExA points to.
struct OpenKey {
    std::string folder;
    REGSAM access;
};

std::mutex keysLock;
std::set<const OpenKey*> liveKeys;

struct Root {
    HKEY handle;
    const char* folder;
};

const Root roots[] = {
    {HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_CURRENT_USER, "HKCU"},   {HKEY_LOCAL_MACHINE, "HKLM"},
    {HKEY_USERS, "HKU"},         {HKEY_CURRENT_CONFIG, "HKCC"},
};

const char* const kDefaultValueFile = "(Default)";
// A key's values live in this folder of the key's own folder. No sub-key can
// have its name, since a key name never holds a backslash, so values and
// sub-keys stay apart as they do on Windows, whatever their names.
const char* const kValuesFolder = "\\values";
const std::size_t kMaxFileName = 255;

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

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `folder` named `name`, preferring the exact spelling, else any
// spelling that differs only in ASCII case; empty when there is none.
std::string findEntry(const std::string& folder, const std::string& name, bool wantFolder) {
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) == wantFolder)
        return name;
    std::string found;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (!equalsIgnoringAsciiCase(name, entry->d_name))
                continue;
            const std::string path = folder + "/" + entry->d_name;
            if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) == wantFolder) {
                found = entry->d_name;
                break;
            }
        }
        ::closedir(dir);
    }
    return found;
}

// Makes each missing folder of the chain; 0 or a Win32 code.
LONG makeFolders(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return static_cast<LONG>(win32ErrorFromErrno(errno, prefix.c_str()));
    }
    return isFolder(path) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

// The store's own folder, created on demand; empty (and `status` set) when
// there is no per-user data folder to hold it.
std::string storeFolder(LONG& status) {
    char data[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK) {
        status = ERROR_PATH_NOT_FOUND;
        return std::string();
    }
    const std::string store = std::string(data) + "/vantrell/registry";
    status = makeFolders(store);
    return status == ERROR_SUCCESS ? store : std::string();
}

const Root* findRoot(HKEY key) {
    for (const Root& root : roots)
        if (root.handle == key)
            return &root;
    return nullptr;
}

// The folder of a root or an open key, and the access it was opened with.
LONG keyFolder(HKEY key, std::string& folder, REGSAM& access) {
    if (const Root* root = findRoot(key)) {
        LONG status = ERROR_SUCCESS;
        const std::string store = storeFolder(status);
        if (status != ERROR_SUCCESS)
            return status;
        folder = store + "/" + root->folder;
        access = KEY_READ | KEY_WRITE; // the predefined keys are open for everything
        return makeFolders(folder);
    }
    {
        const std::lock_guard<std::mutex> guard(keysLock);
        const auto* open = reinterpret_cast<const OpenKey*>(key);
        if (key == nullptr || liveKeys.count(open) == 0)
            return ERROR_INVALID_HANDLE;
        folder = open->folder;
        access = open->access;
    }
    // Someone removed the key's folder while it was open.
    return isFolder(folder) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Follows the backslash-separated path down from `folder`.
LONG findSubKey(std::string& folder, const char* subKey) {
    if (subKey == nullptr)
        return ERROR_SUCCESS;
    if (subKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    const std::string path(subKey);
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
        if (name == "." || name == ".." || name.find('/') != std::string::npos || name.size() > kMaxFileName)
            return ERROR_FILE_NOT_FOUND;
        const std::string found = findEntry(folder, name, true);
        if (found.empty())
            return ERROR_FILE_NOT_FOUND;
        folder += "/" + found;
    }
    return ERROR_SUCCESS;
}

bool isStorableValueName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos && name.size() <= kMaxFileName &&
           !equalsIgnoringAsciiCase(name, kDefaultValueFile);
}

bool writeAll(int fd, const BYTE* bytes, std::size_t size) {
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

// Writes type and data beside the store and moves the file into place in one
// rename: the value is either the old one or the new one, never half.
LONG replaceValueFile(const std::string& target, DWORD type, const BYTE* data, DWORD size) {
    LONG status = ERROR_SUCCESS;
    const std::string store = storeFolder(status);
    if (status != ERROR_SUCCESS)
        return status;
    const std::string pending = store + "/.writing";
    if (::mkdir(pending.c_str(), 0700) != 0 && errno != EEXIST)
        return static_cast<LONG>(win32ErrorFromErrno(errno, pending.c_str()));
    std::vector<char> temp(pending.begin(), pending.end());
    const char pattern[] = "/value-XXXXXX";
    temp.insert(temp.end(), pattern, pattern + sizeof pattern);
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return static_cast<LONG>(win32ErrorFromErrno(errno, pending.c_str()));
    const BYTE header[4] = {static_cast<BYTE>(type), static_cast<BYTE>(type >> 8), static_cast<BYTE>(type >> 16),
                            static_cast<BYTE>(type >> 24)};
    int error = 0;
    if (!writeAll(fd, header, sizeof header) || !writeAll(fd, data, size) || ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temp.data(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temp.data());
        // The key's folder vanished between the look-up and the rename.
        if (error == ENOENT)
            return ERROR_KEY_DELETED;
        return static_cast<LONG>(win32ErrorFromErrno(error, target.c_str()));
    }
    // Make the rename itself durable; the value is in place either way.
    const std::string folder = target.substr(0, target.find_last_of('/'));
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ERROR_SUCCESS;
}

// Stores before this layout kept each value as a file in its key's own
// folder. The first write into such a key moves them into its values folder
// under their names; one whose name (in any case) is already there is left
// where it is and no longer counts.
void moveOldValues(const std::string& key, const std::string& values) {
    DIR* dir = ::opendir(key.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = key + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !findEntry(values, name, false).empty())
            continue;
        ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, (values + "/" + name).c_str(), RENAME_NOREPLACE);
    }
    ::closedir(dir);
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM access, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string folder;
    REGSAM parentAccess = 0;
    LONG status = keyFolder(key, folder, parentAccess);
    if (status == ERROR_SUCCESS)
        status = findSubKey(folder, subKey);
    if (status != ERROR_SUCCESS)
        return status;
    auto* open = new OpenKey{folder, access};
    {
        const std::lock_guard<std::mutex> guard(keysLock);
        liveKeys.insert(open);
    }
    *result = reinterpret_cast<HKEY>(open);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD size) {
    std::string folder;
    REGSAM access = 0;
    const LONG status = keyFolder(key, folder, access);
    if (status != ERROR_SUCCESS)
        return status;
    if (!(access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (data == nullptr && size > 0)
        return ERROR_INVALID_PARAMETER;
    std::string file = kDefaultValueFile;
    if (valueName != nullptr && *valueName != '\0') {
        file = valueName;
        if (!isStorableValueName(file))
            return ERROR_INVALID_PARAMETER;
    }
    const std::string values = folder + "/" + kValuesFolder;
    if (::mkdir(values.c_str(), 0700) != 0 && errno != EEXIST)
        return errno == ENOENT ? ERROR_KEY_DELETED : static_cast<LONG>(win32ErrorFromErrno(errno, values.c_str()));
    moveOldValues(folder, values);
    // Value names ignore case: an existing spelling is kept.
    const std::string existing = findEntry(values, file, false);
    static const BYTE nothing = 0;
    return replaceValueFile(values + "/" + (existing.empty() ? file : existing), type,
                            data != nullptr ? data : &nothing, size);
}

LONG RegCloseKey(HKEY key) {
    if (findRoot(key) != nullptr)
        return ERROR_SUCCESS;
    const auto* open = reinterpret_cast<const OpenKey*>(key);
    {
        const std::lock_guard<std::mutex> guard(keysLock);
        if (key == nullptr || liveKeys.erase(open) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

int standinOpenKeyCount() {
    const std::lock_guard<std::mutex> guard(keysLock);
    return static_cast<int>(liveKeys.size());
}

namespace {
// Stand-in module handles: only their addresses matter.
char kernel32Module;
char ownModule;
} // namespace

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr)
        return &ownModule;
    const std::string name(moduleName);
    if (equalsIgnoringAsciiCase(name, "kernel32") || equalsIgnoringAsciiCase(name, "kernel32.dll"))
        return &kernel32Module;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module != &kernel32Module && module != &ownModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (module == &kernel32Module && procName != nullptr && std::strcmp(procName, "IsWow64Process") == 0)
        return reinterpret_cast<FARPROC>(&IsWow64Process);
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL IsWow64Process(HANDLE /*process*/, PBOOL wow64Process) {
    if (wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Every process here runs natively; none is under an emulation layer.
    *wow64Process = FALSE;
    return TRUE;
}
