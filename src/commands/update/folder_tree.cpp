#include "commands/update/folder_tree.h"

#include "platform/file_utils.h"
#include "platform/new_file.h"
#include "platform/owned_handle.h"

#include <memory>

namespace {

constexpr DWORD kChunk = 1u << 20;

bool isLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

bool isFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !isLink(attributes); }

using Handle = FileUtils::OwnedHandle;

// The names in a folder, one at a time, "." and ".." passed over.
class Listing {
public:
    explicit Listing(const std::string& folder) : find_(FindFirstFileA((folder + "/*").c_str(), &entry_)) {
        if (find_ != INVALID_HANDLE_VALUE && isDot())
            advance();
    }
    ~Listing() {
        if (find_ != INVALID_HANDLE_VALUE)
            FindClose(find_);
    }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    // False at the end; an empty folder (2) is no failure.
    bool valid() const { return find_ != INVALID_HANDLE_VALUE && !done_; }
    bool failed() const { return find_ == INVALID_HANDLE_VALUE && code_ != ERROR_FILE_NOT_FOUND; }
    const WIN32_FIND_DATAA& entry() const { return entry_; }
    void advance() {
        do {
            if (!FindNextFileA(find_, &entry_)) {
                done_ = true;
                return;
            }
        } while (isDot());
    }

private:
    bool isDot() const {
        const std::string name = entry_.cFileName;
        return name == "." || name == "..";
    }
    WIN32_FIND_DATAA entry_{};
    HANDLE find_;
    DWORD code_ = find_ == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    bool done_ = false;
};

// False when the file turns out to be a link after all (Wine opens one).
bool copyOneFile(const FileUtils::HeldFolder& from, const FileUtils::HeldFolder& target, const std::string& name) {
    const std::string source = from.path() + "/" + name;
    Handle in(from.openFile(name, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN));
    if (in.get() == INVALID_HANDLE_VALUE)
        FileUtils::throwLastError({"Unable to open ", source.c_str()});
    // Held without delete sharing, the name still shows what was opened.
    if (from.isLink(name))
        return false;
    const std::string destination = target.path() + "/" + name;
    Handle out(target.createFile(name));
    if (out.get() == INVALID_HANDLE_VALUE)
        FileUtils::throwLastError({"Unable to create file ", destination.c_str()});
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.get(), kChunk, &got, nullptr))
            FileUtils::throwLastError({"Unable to read ", source.c_str()});
        if (got == 0)
            break;
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer.get(), got, &put, nullptr) || put != got)
            FileUtils::throwLastError({"Unable to write ", destination.c_str()});
    }
    if (!FlushFileBuffers(out.get()))
        FileUtils::throwLastError({"Unable to write ", destination.c_str()});
    return true;
}

} // namespace

bool copyFolderTree(const FileUtils::HeldFolder& source, const FileUtils::HeldFolder& target, std::string& link) {
    Listing listing(source.path());
    if (listing.failed())
        FileUtils::throwLastError({"Unable to list ", source.path().c_str()});
    for (; listing.valid(); listing.advance()) {
        const std::string name = listing.entry().cFileName;
        const std::string path = source.path() + "/" + name;
        const DWORD attributes = listing.entry().dwFileAttributes;
        if (isLink(attributes)) {
            link = path;
            return false;
        }
        if (isFolder(attributes)) {
            FileUtils::HeldFolder from;
            if (!from.open(source, name, false)) {
                if (GetLastError() != ERROR_CANT_RESOLVE_FILENAME)
                    FileUtils::throwLastError({"Unable to open ", path.c_str()});
                link = path;
                return false;
            }
            FileUtils::HeldFolder sub;
            bool made = false; // asked for: the held folder's Windows side needs it
            if (!sub.open(target, name, true, &made))
                FileUtils::throwLastError({"Unable to create directory ", (target.path() + "/" + name).c_str()});
            if (!copyFolderTree(from, sub, link))
                return false;
        } else if (!copyOneFile(source, target, name)) {
            link = path;
            return false;
        }
    }
    return true;
}

bool removeEntry(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix) {
    const std::string own = prefix + FileUtils::randomHex(16);
    const HANDLE file = folder.createFile(own);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    if (!folder.replaceWithOwn(own, name)) {
        const DWORD code = GetLastError();
        folder.remove(own);
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        SetLastError(code);
        return false;
    }
    return folder.remove(name);
}

bool removeFolderTree(const FileUtils::HeldFolder& parent, const std::string& name, const std::string& prefix) {
    FileUtils::HeldFolder folder;
    if (!folder.open(parent, name, false)) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        if (code == ERROR_CANT_RESOLVE_FILENAME || code == ERROR_DIRECTORY)
            return code == ERROR_CANT_RESOLVE_FILENAME && parent.removeFolder(name) ? true
                                                                                    : removeEntry(parent, name, prefix);
        return false;
    }
    {
        Listing listing(folder.path());
        if (listing.failed())
            return false;
        for (; listing.valid(); listing.advance()) {
            const std::string child = listing.entry().cFileName;
            const DWORD attributes = listing.entry().dwFileAttributes;
            const bool gone = isFolder(attributes) ? removeFolderTree(folder, child, prefix)
                              : isLink(attributes) ? folder.removeFolder(child) || removeEntry(folder, child, prefix)
                                                   : removeEntry(folder, child, prefix);
            if (!gone)
                return false;
        }
    }
    // Let go of it first: Windows keeps a held folder from being deleted.
    folder = FileUtils::HeldFolder();
    return parent.removeFolder(name);
}
