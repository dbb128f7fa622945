// Windows: every level is held open without delete sharing, so that nobody
// can rename, replace or delete it while it is held, and every step below it
// names one level relative to its handle (NtCreateFile with RootDirectory,
// renames and deletions through the handle of what was opened). A held level
// that is emptied and made a junction meanwhile leads nowhere: the handle is
// the folder that was checked, and a name is looked up in it alone. No path
// is built, so none meets MAX_PATH.
#include "platform/held_folder.h"

#include "platform/new_file.h"
#include "platform/win32.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

// Not in MinGW's winternl.h; exported by ntdll since NT 4.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE folder, HANDLE event, PVOID routine, PVOID context,
                                               PIO_STATUS_BLOCK io, PVOID entries, ULONG size,
                                               FILE_INFORMATION_CLASS type, BOOLEAN single, PUNICODE_STRING pattern,
                                               BOOLEAN restart);

namespace FileUtils {

namespace {

// Reading and listing, never deleting: a held level stays where it is.
constexpr DWORD heldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A held level serves as the root of the names below it and is listed.
constexpr ACCESS_MASK heldAccess = GENERIC_READ | FILE_TRAVERSE;
constexpr ULONG heldOptions = FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT;
// Looking at or deleting a name, without being in anyone else's way.
constexpr DWORD anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isLevelName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

// No entry matches the pattern.
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);

bool failWith(DWORD code) {
    SetLastError(code);
    return false;
}

bool failWithStatus(NTSTATUS status) { return failWith(RtlNtStatusToDosError(status)); }

// One level's name in UTF-16, converted from the process's code page (UTF-8
// by the manifest) as the ANSI calls would.
bool toWide(const std::string& name, std::wstring& wide) {
    wide.clear();
    if (name.empty())
        return true;
    const int size = MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    if (size <= 0)
        return failWith(ERROR_INVALID_NAME);
    if (static_cast<std::size_t>(size) > 0x7FFF) // a UNICODE_STRING counts bytes in 16 bits
        return failWith(ERROR_FILENAME_EXCED_RANGE);
    wide.resize(static_cast<std::size_t>(size));
    MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), &wide[0], size);
    return true;
}

// A level's name for the calls below, checked and converted once. A Win32
// path drops a name's trailing dots and blanks, and so does this, so that a
// name leads where a path with it would.
bool levelName(const std::string& name, std::wstring& wide) {
    const std::size_t kept = name.find_last_not_of(". ");
    if (!isLevelName(name) || kept == std::string::npos)
        return failWith(ERROR_INVALID_NAME);
    return toWide(name.substr(0, kept + 1), wide);
}

class NtName {
public:
    NtName(HANDLE root, const std::wstring& name) {
        text_.Buffer = const_cast<PWSTR>(name.c_str());
        text_.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
        text_.MaximumLength = text_.Length;
        // Case-insensitive, as every Win32 call opens a name.
        InitializeObjectAttributes(&object_, &text_, OBJ_CASE_INSENSITIVE, root, nullptr);
    }
    NtName(const NtName&) = delete;
    NtName& operator=(const NtName&) = delete;
    POBJECT_ATTRIBUTES get() { return &object_; }

private:
    UNICODE_STRING text_{};
    OBJECT_ATTRIBUTES object_{};
};

// Opens or creates `name` in the folder `root`, synchronous as the Win32
// calls open. The handle, or INVALID_HANDLE_VALUE with the status (and
// `created` tells whether this call made it).
HANDLE openIn(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
              NTSTATUS& status, bool* created = nullptr, ULONG attributes = FILE_ATTRIBUTE_NORMAL,
              void* security = nullptr) {
    NtName object(root, name);
    object.get()->SecurityDescriptor = security;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    status = NtCreateFile(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, object.get(), &io, nullptr, attributes,
                          share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return INVALID_HANDLE_VALUE;
    if (created != nullptr)
        *created = io.Information == FILE_CREATED;
    return handle;
}

// What stands at a handle opened without following a reparse point.
struct Kind {
    bool known = false;
    bool folder = false;
    bool link = false;    // a name surrogate: symbolic link or junction
    bool content = false; // another reparse point, whose content the file system hands over
};

Kind kindOf(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    Kind kind;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
        return kind;
    kind.known = true;
    kind.folder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Every reparse point the system makes has a tag; one shown without
    // (Wine's Unix link) is taken for a link.
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        kind.link = tag.ReparseTag == 0 || IsReparseTagNameSurrogate(tag.ReparseTag) != 0;
        kind.content = !kind.link;
    }
    return kind;
}

// Wine opens the target of a Unix link even when told not to, and shows the
// link (to a folder) only in the folder's entry for its name; Windows shows
// it on the handle. The entry is looked up through a handle of its own to
// the folder, since a listing's pattern is fixed by a handle's first query.
// A folder that cannot be asked counts as showing a link.
bool nameShowsLink(HANDLE root, const std::wstring& name) {
    NTSTATUS status = 0;
    const HANDLE folder = openIn(root, std::wstring(), FILE_LIST_DIRECTORY, anySharing, FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, status);
    if (folder == INVALID_HANDLE_VALUE)
        return true;
    UNICODE_STRING pattern{};
    pattern.Buffer = const_cast<PWSTR>(name.c_str());
    pattern.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    pattern.MaximumLength = pattern.Length;
    alignas(8) unsigned char entries[4096];
    IO_STATUS_BLOCK io{};
    status = NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, entries, sizeof entries,
                                  FileDirectoryInformation, FALSE, &pattern, TRUE);
    CloseHandle(folder);
    if (!NT_SUCCESS(status))
        return status != kNoSuchFile;
    // The pattern may hold wildcards: only the entry of that very name counts.
    for (std::size_t at = 0; at + offsetof(FILE_DIRECTORY_INFORMATION, FileName) <= io.Information;) {
        const auto* entry = reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(entries + at);
        const int length = static_cast<int>(entry->FileNameLength / sizeof(WCHAR));
        if (CompareStringOrdinal(entry->FileName, length, name.c_str(), static_cast<int>(name.size()), TRUE) ==
            CSTR_EQUAL)
            return (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (entry->NextEntryOffset == 0)
            break;
        at += entry->NextEntryOffset;
    }
    return false;
}

bool sameFile(HANDLE a, HANDLE b) {
    IO_STATUS_BLOCK io{};
    FILE_INTERNAL_INFORMATION first{};
    FILE_INTERNAL_INFORMATION second{};
    return NT_SUCCESS(NtQueryInformationFile(a, &io, &first, sizeof first, FileInternalInformation)) &&
           NT_SUCCESS(NtQueryInformationFile(b, &io, &second, sizeof second, FileInternalInformation)) &&
           first.IndexNumber.QuadPart == second.IndexNumber.QuadPart;
}

// `opened`, a reparse point that is no link (a cloud placeholder, a
// deduplicated file), opened again so that the file system hands over its
// content, and only if the name still leads to it. `opened` is closed.
HANDLE contentOf(HANDLE opened, HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG options) {
    NTSTATUS status = 0;
    const HANDLE content = openIn(root, name, access, share, FILE_OPEN, options & ~FILE_OPEN_REPARSE_POINT, status);
    const bool same = content != INVALID_HANDLE_VALUE && sameFile(opened, content);
    CloseHandle(opened);
    if (content == INVALID_HANDLE_VALUE) {
        failWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    if (!same) {
        CloseHandle(content);
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return INVALID_HANDLE_VALUE;
    }
    return content;
}

// Sets `information` of class `type` on the open `handle`.
bool setInformation(HANDLE handle, void* information, ULONG size, FILE_INFORMATION_CLASS type) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NtSetInformationFile(handle, &io, information, size, type);
    return NT_SUCCESS(status) || failWithStatus(status);
}

// Deletes what `handle` is open as (DELETE access) once the last handle to
// it is closed: the name it was opened by, wherever that has gone since.
// The plain disposition class: Wine 8 lacks the extended one.
bool deleteThrough(HANDLE handle) {
    FILE_DISPOSITION_INFORMATION disposition{};
    disposition.DoDeleteFile = TRUE;
    return setInformation(handle, &disposition, sizeof disposition, FileDispositionInformation);
}

// Renames what `handle` is open as (DELETE access) to `to` in `folder`.
bool renameThrough(HANDLE handle, HANDLE folder, const std::wstring& to, bool replaceExisting) {
    const std::size_t bytes = to.size() * sizeof(WCHAR);
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + bytes + sizeof(WCHAR));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = replaceExisting ? TRUE : FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<ULONG>(bytes);
    std::copy(to.begin(), to.end(), rename->FileName);
    return setInformation(handle, buffer.data(), static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

// The full path for the wide calls, with the prefix that lifts MAX_PATH:
// relative and drive-relative paths resolved as the system resolves them.
bool fullPath(const std::string& path, std::wstring& full) {
    std::wstring wide;
    if (path.empty())
        return failWith(ERROR_PATH_NOT_FOUND);
    if (!toWide(path, wide))
        return false;
    std::wstring resolved(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(resolved.size()), &resolved[0], nullptr);
        if (size == 0)
            return false;
        if (size < resolved.size()) {
            resolved.resize(size);
            break;
        }
        resolved.assign(size, L'\0');
    }
    if (resolved.compare(0, 4, L"\\\\?\\") == 0 || resolved.compare(0, 4, L"\\\\.\\") == 0)
        full = resolved;
    else if (resolved.compare(0, 2, L"\\\\") == 0)
        full = L"\\\\?\\UNC\\" + resolved.substr(2);
    else
        full = L"\\\\?\\" + resolved;
    return true;
}

} // namespace

bool HeldFolder::open(const std::string& path) {
    close();
    std::wstring full;
    if (!fullPath(path, full))
        return false;
    // The root's own links are followed: where it lies is the caller's choice.
    const HANDLE folder =
        CreateFileW(full.c_str(), heldAccess, heldSharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    const Kind kind = kindOf(folder);
    if (!kind.known || !kind.folder) {
        const DWORD code = kind.known ? ERROR_DIRECTORY : GetLastError();
        CloseHandle(folder);
        return failWith(code);
    }
    handle_ = folder;
    path_ = path;
    return true;
}

bool HeldFolder::open(const HeldFolder& parent, const std::string& name, bool create, bool* made) {
    if (made != nullptr)
        *made = false;
    std::wstring wide;
    if (!parent.isOpen())
        return failWith(ERROR_INVALID_NAME);
    if (!levelName(name, wide))
        return false;
    // Made and opened in one step; a link planted at the name is opened as
    // itself (and refused below), never its target made or entered.
    NTSTATUS status = 0;
    bool created = false;
    HANDLE folder = openIn(parent.handle_, wide, heldAccess, heldSharing, create ? FILE_OPEN_IF : FILE_OPEN,
                           heldOptions | FILE_OPEN_REPARSE_POINT, status, &created);
    if (folder == INVALID_HANDLE_VALUE) {
        failWithStatus(status);
        if (GetLastError() != ERROR_DIRECTORY)
            return false;
        // No folder there: a link to a file is a link all the same.
        const HANDLE there = openIn(parent.handle_, wide, 0, anySharing, FILE_OPEN, FILE_OPEN_REPARSE_POINT, status);
        if (there == INVALID_HANDLE_VALUE)
            return failWith(ERROR_DIRECTORY);
        const bool link = kindOf(there).link;
        CloseHandle(there);
        return failWith(link ? ERROR_CANT_RESOLVE_FILENAME : ERROR_DIRECTORY);
    }
    Kind kind = kindOf(folder);
    if (kind.content) {
        folder = contentOf(folder, parent.handle_, wide, heldAccess, heldSharing, heldOptions);
        if (folder == INVALID_HANDLE_VALUE)
            return false;
        kind = kindOf(folder);
        kind.content = true;
    }
    const DWORD refusal = !kind.known ? GetLastError()
                          : kind.link || (!kind.content && nameShowsLink(parent.handle_, wide))
                              ? ERROR_CANT_RESOLVE_FILENAME
                          : !kind.folder ? ERROR_DIRECTORY
                                         : ERROR_SUCCESS;
    if (refusal != ERROR_SUCCESS) {
        CloseHandle(folder);
        return failWith(refusal);
    }
    if (made != nullptr)
        *made = created;
    const std::string path = parent.path_ + "/" + name;
    close();
    handle_ = folder;
    path_ = path;
    return true;
}

Platform::File HeldFolder::createFile(const std::string& name, unsigned) const {
    std::wstring wide;
    if (!isOpen() || !levelName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return Platform::File();
    }
    NTSTATUS status = 0;
    const HANDLE file = openIn(handle_, wide, GENERIC_WRITE, FILE_SHARE_DELETE, FILE_CREATE,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, status);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = RtlNtStatusToDosError(status);
        // As CreateFile with CREATE_NEW says it.
        SetLastError(code == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : code);
    }
    return Platform::File(file);
}

namespace {

struct Opening {
    ACCESS_MASK access;
    ULONG share;
    ULONG options;
};

// What each use asks of the system, as CreateFile was asked before.
Opening openingFor(OpenFor use) {
    switch (use) {
    case OpenFor::Attributes:
        return {0, anySharing, 0};
    case OpenFor::Reading:
        return {GENERIC_READ, anySharing, 0};
    case OpenFor::Writing:
        return {GENERIC_WRITE, anySharing, 0};
    case OpenFor::ReadingUnwritten:
        return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0};
    case OpenFor::ReadingHeld:
        return {GENERIC_READ, FILE_SHARE_READ, FILE_SEQUENTIAL_ONLY};
    case OpenFor::ReadingToRemove:
        return {GENERIC_READ | DELETE, FILE_SHARE_READ, FILE_SEQUENTIAL_ONLY};
    }
    return {GENERIC_READ, anySharing, 0};
}

} // namespace

Platform::File HeldFolder::openFile(const std::string& name, OpenFor use) const {
    std::wstring wide;
    if (!isOpen() || !levelName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return Platform::File();
    }
    const Opening opening = openingFor(use);
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE | opening.options;
    NTSTATUS status = 0;
    const HANDLE file = openIn(handle_, wide, opening.access, opening.share, FILE_OPEN, options, status);
    if (file == INVALID_HANDLE_VALUE) {
        failWithStatus(status);
        return Platform::File();
    }
    if (kindOf(file).content)
        return Platform::File(contentOf(file, handle_, wide, opening.access, opening.share, options));
    return Platform::File(file);
}

bool HeldFolder::rename(const std::string& from, const std::string& to, bool replaceExisting) const {
    std::wstring source;
    std::wstring destination;
    if (!isOpen())
        return failWith(ERROR_INVALID_NAME);
    if (!levelName(from, source) || !levelName(to, destination))
        return false;
    // The name itself is moved, a link never followed; sharing all, as a
    // move does, so a file held without delete sharing fails here (32).
    NTSTATUS status = 0;
    const HANDLE moved = openIn(handle_, source, DELETE, anySharing, FILE_OPEN,
                                FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, status);
    if (moved == INVALID_HANDLE_VALUE)
        return failWithStatus(status);
    const bool done = renameThrough(moved, handle_, destination, replaceExisting);
    const DWORD code = GetLastError();
    CloseHandle(moved);
    return done || failWith(code);
}

bool HeldFolder::replaceWithOwn(const std::string& from, const std::string& to) const { return rename(from, to, true); }

bool HeldFolder::remove(const std::string& name) const {
    std::wstring wide;
    if (!isOpen())
        return failWith(ERROR_INVALID_NAME);
    if (!levelName(name, wide))
        return false;
    // Missing (2) or a folder (5) is told before anything is made.
    NTSTATUS status = 0;
    const HANDLE there =
        openIn(handle_, wide, 0, anySharing, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, status);
    if (there == INVALID_HANDLE_VALUE)
        return failWithStatus(status);
    CloseHandle(there);
    // Wine deletes the target of a Unix link whose name is deleted, and shows
    // a link to a file as a plain file: an empty file of our own is renamed
    // over the name first, which replaces a link itself, and is deleted
    // through its own handle. A name that cannot be replaced so (a file in
    // use, a read-only one) is deleted as it is, with the system's answer.
    // Deleted on close, whatever name it has then: a run killed at any
    // moment of this leaves no file of its own behind.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::wstring own;
        if (!toWide(".vantrell-" + randomHex(16) + ".tmp", own))
            break;
        const HANDLE empty = openIn(handle_, own, DELETE, FILE_SHARE_DELETE, FILE_CREATE,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE, status);
        if (empty == INVALID_HANDLE_VALUE) {
            if (RtlNtStatusToDosError(status) == ERROR_ALREADY_EXISTS) // taken: another name
                continue;
            break;
        }
        const bool replaced = renameThrough(empty, handle_, wide, true);
        const bool gone = deleteThrough(empty);
        CloseHandle(empty);
        if (replaced && gone)
            return true;
        break;
    }
    const HANDLE doomed =
        openIn(handle_, wide, DELETE, anySharing, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, status);
    if (doomed == INVALID_HANDLE_VALUE)
        return failWithStatus(status);
    const bool gone = deleteThrough(doomed);
    const DWORD code = GetLastError();
    CloseHandle(doomed);
    return gone || failWith(code);
}

bool HeldFolder::removeFolder(const std::string& name) const {
    std::wstring wide;
    if (!isOpen())
        return failWith(ERROR_INVALID_NAME);
    if (!levelName(name, wide))
        return false;
    // A junction is opened, and deleted, as itself.
    NTSTATUS status = 0;
    const HANDLE folder = openIn(handle_, wide, DELETE, anySharing, FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT, status);
    if (folder == INVALID_HANDLE_VALUE)
        return failWithStatus(status);
    const bool gone = deleteThrough(folder);
    const DWORD code = GetLastError();
    CloseHandle(folder);
    return gone || failWith(code);
}

bool HeldFolder::holdsFile(const std::string& name, const Platform::File& file) const {
    std::wstring wide;
    if (!isOpen())
        return failWith(ERROR_INVALID_NAME);
    if (!levelName(name, wide))
        return false;
    // Looking only: no access asked for, every sharing allowed.
    NTSTATUS status = 0;
    const HANDLE there = openIn(handle_, wide, 0, anySharing, FILE_OPEN, FILE_OPEN_REPARSE_POINT, status);
    if (there == INVALID_HANDLE_VALUE)
        return failWithStatus(status);
    const Kind kind = kindOf(there);
    const bool same = kind.known && !kind.link && sameFile(there, file.native()) && !nameShowsLink(handle_, wide);
    CloseHandle(there);
    // Both are in this folder's volume, so the file index alone is compared.
    return same || failWith(ERROR_SHARING_VIOLATION);
}

bool HeldFolder::isLink(const std::string& name) const {
    std::wstring wide;
    if (!isOpen() || !levelName(name, wide))
        return false;
    NTSTATUS status = 0;
    const HANDLE there = openIn(handle_, wide, 0, anySharing, FILE_OPEN, FILE_OPEN_REPARSE_POINT, status);
    if (there == INVALID_HANDLE_VALUE)
        return false;
    const Kind kind = kindOf(there);
    CloseHandle(there);
    return kind.link || (kind.known && !kind.content && nameShowsLink(handle_, wide));
}

bool HeldFolder::freeSpace(std::uint64_t& bytes) const {
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExA(path_.c_str(), &free, nullptr, nullptr))
        return false;
    bytes = free.QuadPart;
    return true;
}

bool HeldFolder::removeOpen(const std::string&, const Platform::File& file) const {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file.native(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool HeldFolder::moveOpenTo(const std::string&, const Platform::File& file, const std::string& target) const {
    // The rename names its target as the system's own calls do: "\??\" and
    // the full path, in wide characters, without doubled separators.
    std::string full;
    for (const char c : toBackslashes(target))
        if (c != '\\' || full.empty() || full.back() != '\\')
            full += c;
    const std::string nt = "\\??\\" + full;
    const int count = MultiByteToWideChar(CP_ACP, 0, nt.c_str(), -1, nullptr, 0);
    if (count <= 0)
        return false;
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + static_cast<std::size_t>(count) * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    if (MultiByteToWideChar(CP_ACP, 0, nt.c_str(), -1, info->FileName, count) != count)
        return false;
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(count - 1) * sizeof(WCHAR);
    return SetFileInformationByHandle(file.native(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}

} // namespace FileUtils

namespace FileUtils {

FolderAndName heldFolderAndName(const std::string& path) {
    // "Z:name" is the name in the current folder of drive Z, not a folder "."
    // holding "Z:name".
    const bool driveRelative = path.size() > 2 && path[1] == ':' && path[2] != '/' && path[2] != '\\';
    if (driveRelative) {
        char full[MAX_PATH + 1] = {};
        const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
        if (length > 0 && length < sizeof full)
            return splitAtLastSeparator(std::string(full, length));
    }
    return splitAtLastSeparator(path);
}

bool HeldFolder::list(std::vector<FolderEntry>& entries) const {
    entries.clear();
    if (!isOpen())
        return failWith(ERROR_INVALID_HANDLE);
    // The held handle itself is asked, never the folder's path: a folder
    // swapped in at that path since is not what is read.
    constexpr DWORD kBuffer = 64 * 1024;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBuffer]);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(handle_, kind, buffer.get(), kBuffer)) {
            const DWORD code = GetLastError();
            // Only "no more" ends a listing; any other answer cuts it short.
            return code == ERROR_NO_MORE_FILES || (code == ERROR_FILE_NOT_FOUND && entries.empty()) || failWith(code);
        }
        kind = FileIdBothDirectoryInfo;
        for (std::size_t at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + at);
            const int wide = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
            const int size = WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, nullptr, 0, nullptr, nullptr);
            std::string name(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
            if (size > 0)
                WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, &name[0], size, nullptr, nullptr);
            if (!name.empty() && name != "." && name != "..") {
                const DWORD attributes = info->FileAttributes;
                // With the reparse attribute the entry's EA size carries the
                // tag: only a name surrogate (a symbolic link, a junction)
                // leads elsewhere; a cloud placeholder or deduplicated file
                // is the file itself. No tag at all (Wine's view of a Unix
                // link) counts as a link.
                const DWORD tag = info->EaSize;
                const bool link =
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag == 0 || IsReparseTagNameSurrogate(tag));
                entries.push_back({name, link                                           ? EntryKind::Link
                                         : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder
                                                                                        : EntryKind::File});
            }
            if (info->NextEntryOffset == 0)
                break;
            at += info->NextEntryOffset;
        }
    }
}

HANDLE openLockFile(const HeldFolder& folder, const std::string& name, void* security) {
    std::wstring wide;
    if (!folder.isOpen() || !levelName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    NTSTATUS status = 0;
    const HANDLE file = openIn(folder.handle(), wide, GENERIC_READ | DELETE, 0, FILE_OPEN_IF,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE, status,
                               nullptr, FILE_ATTRIBUTE_HIDDEN, security);
    if (file == INVALID_HANDLE_VALUE)
        SetLastError(RtlNtStatusToDosError(status));
    return file;
}

Platform::File openAppendingFile(const HeldFolder& folder, const std::string& name) {
    std::wstring wide;
    if (!folder.isOpen() || !levelName(name, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return Platform::File();
    }
    NTSTATUS status = 0;
    Platform::File file(openIn(folder.handle(), wide, FILE_APPEND_DATA | FILE_READ_DATA, anySharing, FILE_OPEN_IF,
                               FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, status));
    if (!file.isOpen()) {
        failWithStatus(status);
        return file;
    }
    // A second name may be one a user gave a file that is not theirs to have
    // appended to.
    const Kind kind = kindOf(file.native());
    FILE_STANDARD_INFO standard{};
    DWORD code = ERROR_SUCCESS;
    if (!kind.known || !GetFileInformationByHandleEx(file.native(), FileStandardInfo, &standard, sizeof standard))
        code = GetLastError();
    else if (kind.link || standard.NumberOfLinks != 1)
        code = ERROR_CANT_RESOLVE_FILENAME;
    if (code == ERROR_SUCCESS)
        return file;
    file.close();
    SetLastError(code);
    return Platform::File();
}

} // namespace FileUtils
