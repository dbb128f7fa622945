#include "commands/update/folder_tree.h"
#include "platform/error_code.h"

#include "platform/file_access.h"
#include "platform/file_utils.h"
#include "platform/new_file.h"
#include "platform/win32.h"

#include <memory>
#include <vector>

namespace {

constexpr std::size_t kChunk = 1u << 20;

using FileUtils::EntryKind;

// The names in `folder`, read through its handle; a listing cut short is a
// failure of the whole step, never a smaller folder.
std::vector<FileUtils::FolderEntry> listWhole(const FileUtils::HeldFolder& folder) {
    std::vector<FileUtils::FolderEntry> entries;
    if (!folder.list(entries))
        FileUtils::throwLastError({"Unable to list ", folder.path().c_str()});
    return entries;
}

// False when the file turns out to be a link after all (Wine opens one).
bool copyOneFile(const FileUtils::HeldFolder& from, const FileUtils::HeldFolder& target, const std::string& name,
                 Platform::NativeFile owner) {
    const std::string source = from.path() + "/" + name;
    Platform::File in = from.openFile(name, FileUtils::OpenFor::ReadingHeld);
    if (!in.isOpen())
        FileUtils::throwLastError({"Unable to open ", source.c_str()});
    // Held without delete sharing, the name still shows what was opened.
    if (from.isLink(name))
        return false;
    const std::string destination = target.path() + "/" + name;
    Platform::File out = target.createFile(name);
    if (!out.isOpen())
        FileUtils::throwLastError({"Unable to create file ", destination.c_str()});
    if (!FileUtils::takeCopiedAccess(in.native(), out.native(), owner))
        FileUtils::throwLastError({"Unable to give ", destination.c_str(), " the access of ", source.c_str()});
    const std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        std::size_t got = 0;
        if (!in.read(buffer.get(), kChunk, got))
            FileUtils::throwLastError({"Unable to read ", source.c_str()});
        if (got == 0)
            break;
        if (!out.write(buffer.get(), got))
            FileUtils::throwLastError({"Unable to write ", destination.c_str()});
    }
    if (!out.flush())
        FileUtils::throwLastError({"Unable to write ", destination.c_str()});
    return true;
}

} // namespace

bool copyFolderTree(const FileUtils::HeldFolder& source, const FileUtils::HeldFolder& target,
                    Platform::NativeFile owner, std::string& link) {
    for (const FileUtils::FolderEntry& entry : listWhole(source)) {
        const std::string& name = entry.name;
        const std::string path = source.path() + "/" + name;
        if (entry.kind == EntryKind::Link) {
            link = path;
            return false;
        }
        if (entry.kind == EntryKind::Folder) {
            FileUtils::HeldFolder from;
            if (!from.open(source, name, false)) {
                if (Platform::lastError() != ERROR_CANT_RESOLVE_FILENAME)
                    FileUtils::throwLastError({"Unable to open ", path.c_str()});
                link = path;
                return false;
            }
            FileUtils::HeldFolder sub;
            bool made = false; // asked for: the held folder's Windows side needs it
            if (!sub.open(target, name, true, &made))
                FileUtils::throwLastError({"Unable to create directory ", (target.path() + "/" + name).c_str()});
            if (!copyFolderTree(from, sub, owner, link))
                return false;
            // Its permissions last: a folder that is not to be written
            // must first be filled.
            if (!FileUtils::takeCopiedAccess(from.handle(), sub.handle(), owner))
                FileUtils::throwLastError({"Unable to give ", sub.path().c_str(), " the access of ", path.c_str()});
        } else if (!copyOneFile(source, target, name, owner)) {
            link = path;
            return false;
        }
    }
    return true;
}

bool removeFolderTree(const FileUtils::HeldFolder& parent, const std::string& name, const std::string& prefix) {
    FileUtils::HeldFolder folder;
    if (!folder.open(parent, name, false)) {
        const Platform::ErrorCode code = Platform::lastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            return true;
        if (code == ERROR_CANT_RESOLVE_FILENAME || code == ERROR_DIRECTORY)
            return code == ERROR_CANT_RESOLVE_FILENAME && parent.removeFolder(name) ? true
                                                                                    : removeEntry(parent, name, prefix);
        return false;
    }
    {
        std::vector<FileUtils::FolderEntry> entries;
        if (!folder.list(entries))
            return false;
        for (const FileUtils::FolderEntry& entry : entries) {
            const std::string& child = entry.name;
            const bool gone = entry.kind == EntryKind::Folder ? removeFolderTree(folder, child, prefix)
                              : entry.kind == EntryKind::Link
                                  ? folder.removeFolder(child) || removeEntry(folder, child, prefix)
                                  : removeEntry(folder, child, prefix);
            if (!gone)
                return false;
        }
    }
    // Let go of it first: Windows keeps a held folder from being deleted.
    folder = FileUtils::HeldFolder();
    return parent.removeFolder(name);
}

namespace {

bool replaceAndRemove(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix) {
    const std::string own = prefix + FileUtils::randomHex(16);
    if (!folder.createFile(own).isOpen())
        return false;
    if (!folder.replaceWithOwn(own, name)) {
        const Platform::ErrorCode code = Platform::lastError();
        folder.remove(own);
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        Platform::setLastError(code);
        return false;
    }
    return folder.remove(name);
}

} // namespace

bool removeEntry(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& prefix) {
    if (replaceAndRemove(folder, name, prefix))
        return true;
    if (Platform::lastError() != ERROR_ACCESS_DENIED)
        return false;
    // A read-only file (one installed so, natively) gets its owner's write
    // permission back through a handle of its own, never through a link.
    const Platform::ErrorCode code = Platform::lastError();
    bool removable = false;
    {
        const Platform::File file = folder.openFile(name, FileUtils::OpenFor::Reading);
        removable = file.isOpen() && FileUtils::makeRemovable(file.native());
    }
    if (!removable) {
        Platform::setLastError(code);
        return false;
    }
    return replaceAndRemove(folder, name, prefix);
}
