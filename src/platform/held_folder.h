// A folder held open by handle, reached from a root downwards one level at a
// time, and the names in it created, renamed and deleted relative to it. A
// user who may write into the folders and swaps a level for a link, or for
// another folder, between any two steps cannot turn where a file lands: each
// level is opened without following a link, and the work below it goes
// through the level that was checked (natively openat and friends on the
// held descriptor; on Windows every level stays open without delete sharing,
// so it cannot be renamed or replaced while it is held, and each name below
// it is opened, renamed and deleted relative to its handle, so a held level
// made a junction redirects nothing and no path meets MAX_PATH). A link is a
// symbolic link or a junction; a cloud placeholder or other reparse point
// that is no link is a file or folder like any other.
#pragma once

#include "platform/file.h"
#include "platform/file_utils.h"

#include <cstdint>
#include <string>
#include <vector>

namespace FileUtils {

// What a listing finds at a name: a link or other reparse point is never
// taken for what it leads to.
enum class EntryKind { File, Folder, Link };

// What an existing file is opened for, and what others may do with it while
// it is open. Windows enforces the second part; natively a use that keeps
// writers out takes a shared flock and Writing an exclusive one, which
// keep out only the programs that take a flock too.
enum class OpenFor {
    Attributes,       // nothing read or written, its owner and mode looked at; others may do anything
    Reading,          // reading; others may read, write, rename and delete it
    Writing,          // writing; others may do anything
    ReadingUnwritten, // reading; others may read, rename and delete it, not write
    ReadingHeld,      // reading in sequence; others may only read: not written, renamed or deleted
    ReadingToRemove,  // as ReadingHeld, and this File may delete or move it (removeOpen, moveOpenTo)
};

struct FolderEntry {
    std::string name;
    EntryKind kind;
};

// The folder to hold and the name in it for the path `path` as given: on
// Windows a drive-relative path ("Z:name") is first resolved against that
// drive's current folder, as the system resolves it; else as
// splitAtLastSeparator splits it.
FolderAndName heldFolderAndName(const std::string& path);

class HeldFolder {
public:
    HeldFolder() = default;
    // Lets go of the folder.
    ~HeldFolder();
    HeldFolder(HeldFolder&& other) noexcept;
    HeldFolder& operator=(HeldFolder&& other) noexcept;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // Holds the folder at `path`, links on the way followed: where the root
    // lies is the caller's choice. False with the system's code: 2 or 3 when
    // missing, ERROR_DIRECTORY (267) for anything that is not a folder.
    bool open(const std::string& path);
    // Holds the folder `name` of `parent`: one level, neither empty, "." nor
    // "..", and without '/' or '\'. With `create` a missing folder is made
    // first, and `made` (when given) tells whether this call made it. Never
    // through a link: false with ERROR_CANT_RESOLVE_FILENAME (1921) when a
    // link is at that name, ERROR_DIRECTORY (267) when a file is, 2 when
    // missing and not to be made, the system's code else.
    bool open(const HeldFolder& parent, const std::string& name, bool create, bool* made = nullptr);
    // Holds the folder at `path`: the levels above its last one as given,
    // links followed, and the last one never through a link (1921), so that
    // a folder swapped for a link is refused instead of worked in.
    bool openWithoutLastLink(const std::string& path);

    bool isOpen() const { return handle_ != Platform::File::invalid(); }
    // The handle or descriptor that holds the folder, for calls on the folder
    // itself (owner, mode) and work relative to it that no call here offers;
    // it stays this object's.
    Platform::NativeFile handle() const { return handle_; }
    // The root's path as given, then '/' and each level's name.
    const std::string& path() const { return path_; }

    // Creates the new file `name` in this folder, open for writing and shared
    // for deletion only. Exclusively: anything at that name, a link
    // included, fails with 80. `mode` gives the Unix permission bits where
    // the system has them (less the process's umask); Windows ignores it.
    // The file, or none open with the code.
    Platform::File createFile(const std::string& name, unsigned mode = 0666) const;
    // Opens the existing file `name` in this folder for `use`, a link at the
    // name not followed; another reparse point, such as a cloud placeholder,
    // is opened for its content. None open with the system's code: 2 when
    // missing, 5 for a folder, ERROR_CANT_ACCESS_FILE (1920) natively for a
    // FIFO, device or socket (never waited on), 32 when another program's
    // sharing forbids `use` (natively: its flock, see OpenFor).
    Platform::File openFile(const std::string& name, OpenFor use) const;
    // Renames `from` to `to`, both in this folder. With `replaceExisting` a
    // file or link at `to` is replaced (a link itself, never followed);
    // without, any existing name fails (183). A read-only file or a folder
    // is not replaced (5); on Windows also an open file (5), and a file held
    // without delete sharing is not moved (32). False with the system's code.
    bool rename(const std::string& from, const std::string& to, bool replaceExisting) const;
    // The same for a `from` that this process created here with createFile
    // and still holds or has just closed: no one else knows its name, so it
    // is not asked who else holds it.
    bool replaceWithOwn(const std::string& from, const std::string& to) const;
    // Deletes the file or link `name` (a link itself, never what it leads
    // to). False with the system's code: 2 when missing, 5 for a folder or a
    // read-only file, on Windows 32 for a file held without delete sharing.
    bool remove(const std::string& name) const;
    // Deletes the empty folder `name` (a link there is not followed). False
    // with the system's code: 2 when missing, 145 when not empty, 267 for a
    // file.
    bool removeFolder(const std::string& name) const;
    // True when `name` in this folder is, itself and not through a link, the
    // file open as `file`. False with the system's code, or with 32 when
    // another file stands at that name.
    bool holdsFile(const std::string& name, const Platform::File& file) const;
    // Deletes `name`, open as `file` (OpenFor::ReadingToRemove), through that
    // open file: on Windows the handle itself, natively only while the name
    // still leads to it (else 32). False with the system's code: 2 when it
    // is gone, 5 when read-only or refused.
    bool removeOpen(const std::string& name, const Platform::File& file) const;
    // Moves `name`, open as `file` (OpenFor::ReadingToRemove), through that
    // open file to the full path `target`, never replacing anything there
    // (183). False with the system's code.
    bool moveOpenTo(const std::string& name, const Platform::File& file, const std::string& target) const;
    // Every name in this folder, "." and ".." left out, read through the
    // held handle (never by path) with its kind, links not followed. False
    // with the system's code when the listing fails before its end: what was
    // read so far is no whole folder.
    bool list(std::vector<FolderEntry>& entries) const;
    // True when `name` in this folder is itself a link: a symbolic link or a
    // junction, never what it leads to. A reparse point that is no link (a
    // cloud placeholder, a deduplicated file) is none. False as well when
    // nothing can be seen at the name.
    bool isLink(const std::string& name) const;
    // The bytes this process may still write on the folder's volume. False
    // with the system's code.
    bool freeSpace(std::uint64_t& bytes) const;

private:
    void close();

    Platform::NativeFile handle_ = Platform::File::invalid();
    std::string path_;
};

} // namespace FileUtils
