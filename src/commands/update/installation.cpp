#include "commands/update/installation.h"
#include "platform/error_code.h"

#include "commands/update/folder_tree.h"
#include "log/logger.h"
#include "platform/file_access.h"
#include "platform/file_utils.h"
#include "platform/in_use.h"
#include "platform/new_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char kJournalHeader[] = "vantrell-journal";
const char kNewArchive[] = ".vantrell-new-";
const char kNewUnpacked[] = ".vantrell-unpacked-new-";
const char kOldUnpacked[] = ".vantrell-unpacked-old-";
const char kJournalDraft[] = ".vantrell-journal-";
// A journal is a few short lines; anything longer is not ours.
constexpr std::size_t kJournalLimit = 8192;

const char kDrop[] = ".vantrell-drop-";
const char kKeptArchive[] = ".vantrell-previous";
const char kKeptUnpacked[] = ".vantrell-unpacked-previous";
const char kKeepLine[] = "keep";

bool isStagingName(const std::string& text, const std::string& name, const char* infix) {
    const std::string prefix = name + infix;
    return text.size() == prefix.size() + 16 && text.compare(0, prefix.size(), prefix) == 0 &&
           FileUtils::isRandomHex(text.c_str() + prefix.size(), 16);
}

// The names a run of ours makes beside the archive, each with the kind it
// makes there; the journal itself is looked after apart.
struct StagingForm {
    const char* infix;
    FileUtils::EntryKind kind;
};
const StagingForm kStagingForms[] = {
    {kNewArchive, FileUtils::EntryKind::File},    {kNewUnpacked, FileUtils::EntryKind::Folder},
    {kOldUnpacked, FileUtils::EntryKind::Folder}, {kJournalDraft, FileUtils::EntryKind::File},
    {kDrop, FileUtils::EntryKind::File},
};

// The kept pair: fixed names, so anyone who may write the folder can put
// something there; only the kind a run makes there is taken for ours.
bool isKept(const FileUtils::FolderEntry& entry, const std::string& stem) {
    return (entry.kind == FileUtils::EntryKind::File && entry.name == keptArchiveName(stem)) ||
           (entry.kind == FileUtils::EntryKind::Folder && entry.name == keptUnpackedName(stem));
}

bool isOurs(const FileUtils::FolderEntry& entry, const std::string& stem) {
    for (const StagingForm& form : kStagingForms)
        if (entry.kind == form.kind && isStagingName(entry.name, stem, form.infix))
            return true;
    return isKept(entry, stem);
}

// Whether `name` in `folder` is there at all (a link included); keeps the
// last-error code when it cannot tell.
bool isPresent(const FileUtils::HeldFolder& folder, const std::string& name, bool& present) {
    if (folder.openFile(name, FileUtils::OpenFor::Attributes).isOpen()) {
        present = true;
        return true;
    }
    const Platform::ErrorCode code = Platform::lastError();
    present = code != ERROR_FILE_NOT_FOUND;
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_CANT_RESOLVE_FILENAME || code == ERROR_ACCESS_DENIED;
}

// A folder that Windows will not rename while a file in it is open answers
// 5 as well as the sharing codes.
bool renameRetryable(Platform::ErrorCode code) { return FileUtils::inUse(code) || code == ERROR_ACCESS_DENIED; }

// Whether the listing of `folder` shows a link or other reparse point at
// `name`: no journal of ours, whatever it leads to. Keeps the last-error
// code.
bool isLinkAt(const FileUtils::HeldFolder& folder, const std::string& name) {
    const Platform::ErrorCode code = Platform::lastError();
    std::vector<FileUtils::FolderEntry> entries;
    bool link = false;
    if (folder.list(entries))
        for (const FileUtils::FolderEntry& entry : entries)
            link = link || (entry.name == name && entry.kind == FileUtils::EntryKind::Link);
    Platform::setLastError(code);
    return link;
}

void warnUnremoved(const std::string& path) {
    Logger::instance()->log(WARN, "Unable to remove " + path + " GetLastError returned: " +
                                      std::to_string(static_cast<unsigned long>(Platform::lastError())));
}

} // namespace

bool parseJournal(const std::string& text, const std::string& name, Installation::Journal& journal) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start != text.size() || lines.size() < 5 || lines.size() > 6 || lines[0] != kJournalHeader)
        return false;
    journal.keep = lines.size() == 6;
    if (journal.keep && lines[5] != kKeepLine)
        return false;
    if (lines[1] != "prepare" && lines[1] != "commit")
        return false;
    journal.committed = lines[1] == "commit";
    journal.archive = lines[2];
    journal.unpacked = lines[3];
    journal.old = lines[4];
    // A swap back puts the kept pair in place as an update puts the staged one.
    const bool back = journal.archive == keptArchiveName(name);
    return (back ? !journal.keep && (journal.unpacked.empty() || journal.unpacked == keptUnpackedName(name))
                 : isStagingName(journal.archive, name, kNewArchive) &&
                       (journal.unpacked.empty() || isStagingName(journal.unpacked, name, kNewUnpacked))) &&
           isStagingName(journal.old, name, kOldUnpacked);
}

std::string keptArchiveName(const std::string& stem) { return stem + kKeptArchive; }
std::string keptUnpackedName(const std::string& stem) { return stem + kKeptUnpacked; }

std::string stagingStem(const std::string& name) {
    // 255 is the longest file name of both systems' file systems.
    if (name.size() + std::strlen(kOldUnpacked) + 16 <= 255)
        return name;
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "~vt%08lx", static_cast<unsigned long>(hash));
    return text;
}

std::string journalText(const Installation::Journal& journal) {
    return std::string(kJournalHeader) + "\n" + (journal.committed ? "commit" : "prepare") + "\n" + journal.archive +
           "\n" + journal.unpacked + "\n" + journal.old + "\n" + (journal.keep ? std::string(kKeepLine) + "\n" : "");
}

Installation::Installation(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& display,
                           unsigned long inUseMs)
    : folder_(folder), name_(name), stem_(stagingStem(name)), display_(display), inUseMs_(inUseMs) {}

Installation::~Installation() {
    if (begun_)
        abandon();
}

Installation::Found Installation::readJournal(Journal& journal, unsigned long inUseMs) const {
    // Read whole before it is judged: a journal that another program holds
    // (a scanner, a backup, a user's lock) is in use, not foreign.
    std::string text;
    bool missing = false;
    const bool read = FileUtils::tryWhileInUse(pathOf(journalName()).c_str(), inUseMs, renameRetryable, [&] {
        Platform::File file = folder_.openFile(journalName(), FileUtils::OpenFor::ReadingUnwritten);
        if (!file.isOpen()) {
            missing = Platform::lastError() == ERROR_FILE_NOT_FOUND;
            return missing || (!renameRetryable(Platform::lastError()) && isLinkAt(folder_, journalName()));
        }
        text.assign(kJournalLimit, '\0');
        std::size_t size = 0;
        for (std::size_t got = 1; got > 0 && size < kJournalLimit; size += got)
            if (!file.read(&text[size], kJournalLimit - size, got))
                return false;
        text.resize(size);
        return true;
    });
    if (!read)
        FileUtils::throwLastError({"Unable to read ", pathOf(journalName()).c_str()});
    if (missing)
        return Found::None;
    if (text.empty())
        return Found::Emptied;
    return text.size() < kJournalLimit && parseJournal(text, stem_, journal) ? Found::Journal : Found::Foreign;
}

void Installation::writeJournal(const Journal& journal, unsigned long inUseMs) const {
    const std::string text = journalText(journal);
    FileUtils::NewFile draft; // removed unless it is put in place
    // Readable by the updating user alone: nobody else has any business
    // holding it open.
    if (!draft.createUnique(folder_, stem_ + kJournalDraft, "", 0600))
        FileUtils::throwLastError({"Unable to create file ", pathOf(stem_ + kJournalDraft).c_str()});
    if (!draft.write(text.data(), text.size()) || !draft.file().flush())
        FileUtils::throwLastError({"Unable to write ", draft.path().c_str()});
    if (!FileUtils::tryWhileInUse(pathOf(journalName()).c_str(), inUseMs, renameRetryable,
                                  [&] { return draft.replaceIn(journalName()); }))
        FileUtils::throwLastError({"Unable to rename ", draft.path().c_str(), " to ", pathOf(journalName()).c_str()});
}

void Installation::rollForward(const Journal& journal, unsigned long inUseMs, Moved& moved) const {
    const std::string unpacked = name_ + ".unpacked";
    const auto move = [&](const std::string& from, const std::string& to, bool replace) {
        return FileUtils::tryWhileInUse(pathOf(to).c_str(), inUseMs, renameRetryable,
                                        [&] { return folder_.rename(from, to, replace); });
    };
    const auto fail = [&](const std::string& from, const std::string& to) {
        FileUtils::throwLastError({"Unable to rename ", pathOf(from).c_str(), " to ", pathOf(to).c_str()});
    };
    if (!journal.unpacked.empty()) {
        // The new folder still staged: the old one, if any, goes aside first
        // (kept, never replacing anything at the kept name).
        const std::string aside = journal.keep ? keptUnpackedName(stem_) : journal.old;
        if (move(journal.unpacked, unpacked, false)) {
            moved.fresh = true;
        } else if (Platform::lastError() == ERROR_ALREADY_EXISTS || Platform::lastError() == ERROR_FILE_EXISTS) {
            if (!move(unpacked, aside, false))
                fail(unpacked, aside);
            moved.old = true;
            if (!move(journal.unpacked, unpacked, false))
                fail(journal.unpacked, unpacked);
            moved.fresh = true;
        } else if (Platform::lastError() != ERROR_FILE_NOT_FOUND) {
            fail(journal.unpacked, unpacked);
        }
    }
    // The old archive goes to its kept name only while the staged one is
    // still there to take its place: once that is gone, the archive in
    // place is the new one.
    bool staged = true;
    if (journal.keep) {
        if (!isPresent(folder_, journal.archive, staged))
            FileUtils::throwLastError({"Unable to open ", pathOf(journal.archive).c_str()});
        if (staged) {
            if (move(name_, keptArchiveName(stem_), false))
                moved.archive = true;
            else if (Platform::lastError() != ERROR_FILE_NOT_FOUND)
                fail(name_, keptArchiveName(stem_));
        }
    }
    // A staged archive that is gone has been renamed into place already.
    if (staged && !move(journal.archive, name_, true) && Platform::lastError() != ERROR_FILE_NOT_FOUND)
        fail(journal.archive, name_);
}

bool Installation::undo(const Journal& journal, const Moved& moved) const {
    const std::string unpacked = name_ + ".unpacked";
    const std::string aside = journal.keep ? keptUnpackedName(stem_) : journal.old;
    return (!moved.archive || folder_.rename(keptArchiveName(stem_), name_, false)) &&
           (!moved.fresh || folder_.rename(unpacked, journal.unpacked, false)) &&
           (!moved.old || folder_.rename(aside, unpacked, false));
}

bool Installation::removeLeftover(const FileUtils::FolderEntry& entry) const {
    const bool gone = entry.kind == FileUtils::EntryKind::Folder ? removeFolderTree(folder_, entry.name, dropPrefix())
                                                                 : removeEntry(folder_, entry.name, dropPrefix());
    if (!gone)
        warnUnremoved(pathOf(entry.name));
    return gone;
}

void Installation::sweepLeftovers() const {
    // With the lock held, a name of ours beside the archive, of the kind we
    // make under it, is what a killed run left: it is removed as the name it
    // is. Anything else, a user's folder at an old name of ours included, is
    // not ours to remove.
    std::vector<FileUtils::FolderEntry> entries;
    if (!folder_.list(entries))
        FileUtils::throwLastError({"Unable to list ", folder_.path().c_str()});
    for (const FileUtils::FolderEntry& entry : entries) {
        // A kept pair nobody watches any more is among them: the version in
        // place stays.
        if (isOurs(entry, stem_))
            removeLeftover(entry);
    }
}

bool Installation::removeJournal(unsigned long inUseMs) const {
    return FileUtils::tryWhileInUse(pathOf(journalName()).c_str(), inUseMs, renameRetryable,
                                    [&] { return removeEntry(folder_, journalName(), dropPrefix()); });
}

bool Installation::repair() {
    Journal journal;
    const Found found = readJournal(journal, inUseMs_);
    if (found == Found::Foreign) {
        Logger::instance()->log(WARN, "Removing " + pathOf(journalName()) + ": it is no journal of this helper");
    } else if (found == Found::Journal && journal.committed) {
        Moved moved;
        rollForward(journal, inUseMs_, moved);
        Logger::instance()->log(INFO, "Completed an interrupted update of " + display_);
    } else if (found == Found::Journal) {
        Logger::instance()->log(INFO, "Undid an interrupted update of " + display_);
    }
    // Everything staged is now either in place or to be dropped.
    sweepLeftovers();
    if (found != Found::None && !removeJournal(inUseMs_))
        FileUtils::throwLastError({"Unable to remove file ", pathOf(journalName()).c_str()});
    return found == Found::Journal || found == Found::Foreign;
}

Platform::File& Installation::begin(bool withUnpacked) {
    journal_ = Journal();
    journal_.archive = stem_ + kNewArchive + FileUtils::randomHex(16);
    if (withUnpacked)
        journal_.unpacked = stem_ + kNewUnpacked + FileUtils::randomHex(16);
    journal_.old = stem_ + kOldUnpacked + FileUtils::randomHex(16);
    journal_.keep = keep_;
    // Journalled before anything is made, so that a kill at any later
    // instant leaves names the next run knows.
    writeJournal(journal_, inUseMs_);
    begun_ = true;
    archive_ = folder_.createFile(journal_.archive);
    if (!archive_.isOpen())
        FileUtils::throwLastError({"Unable to create file ", pathOf(journal_.archive).c_str()});
    const Platform::File old = folder_.openFile(name_, FileUtils::OpenFor::Attributes);
    if (old.isOpen() && !FileUtils::takeAccessOf(old.native(), archive_.native()))
        FileUtils::throwLastError(
            {"Unable to give ", pathOf(journal_.archive).c_str(), " the access of ", pathOf(name_).c_str()});
    return archive_;
}

bool Installation::stageUnpacked(const FileUtils::HeldFolder& source, std::string& link) {
    FileUtils::HeldFolder staged;
    bool made = false; // asked for: the held folder's Windows side needs it
    if (!staged.open(folder_, journal_.unpacked, true, &made))
        FileUtils::throwLastError({"Unable to create directory ", pathOf(journal_.unpacked).c_str()});
    // The new tree belongs to whoever the tree it replaces belongs to (or,
    // the first time, the archive's folder), not to the user updating it.
    FileUtils::HeldFolder replaced;
    const FileUtils::HeldFolder& owner = replaced.open(folder_, name_ + ".unpacked", false) ? replaced : folder_;
    if (!copyFolderTree(source, staged, owner.handle(), link))
        return false;
    if (!FileUtils::takeCopiedAccess(source.handle(), staged.handle(), owner.handle()))
        FileUtils::throwLastError(
            {"Unable to give ", pathOf(journal_.unpacked).c_str(), " the access of ", source.path().c_str()});
    return true;
}

void Installation::commit() {
    if (!archive_.flush())
        FileUtils::throwLastError({"Unable to write ", pathOf(journal_.archive).c_str()});
    Journal committed = journal_;
    committed.committed = true;
    writeJournal(committed, inUseMs_);
    Moved moved;
    try {
        rollForward(committed, inUseMs_, moved);
    } catch (const FileUtils::IOException&) {
        // Put the old pair back; what cannot be, the journal completes.
        const bool undone = undo(committed, moved);
        if (undone)
            writeJournal(journal_, inUseMs_);
        else
            begun_ = false;
        throw;
    }
    begun_ = false;
    // An installation that had no unpacked folder keeps an empty one, so
    // that a swap back takes the new folder away with the new archive.
    FileUtils::HeldFolder none;
    if (journal_.keep && !journal_.unpacked.empty() && !moved.old && !none.open(folder_, keptUnpackedName(stem_), true))
        Logger::instance()->log(
            WARN, "Unable to create directory " + pathOf(keptUnpackedName(stem_)) +
                      " GetLastError returned: " + std::to_string(static_cast<unsigned long>(Platform::lastError())));
    // Whoever took the staged name between its check and the rename put
    // their file in place instead of ours: that is no finished update.
    finishSwap(archive_, journal_.keep ? std::string() : journal_.old,
               "After the swap " + display_ + " is not the file this update wrote");
}

void Installation::finishSwap(Platform::File& placed, const std::string& old, const std::string& notOurs) const {
    const bool ours = folder_.holdsFile(name_, placed);
    const Platform::ErrorCode code = Platform::lastError();
    placed.close();
    if (!old.empty() && !removeFolderTree(folder_, old, dropPrefix()))
        warnUnremoved(pathOf(old));
    if (!removeJournal(inUseMs_))
        FileUtils::throwLastError({"Unable to remove file ", pathOf(journalName()).c_str()});
    if (!ours) {
        Platform::setLastError(code);
        FileUtils::throwLastError({notOurs.c_str()});
    }
}

void Installation::abandon() {
    begun_ = false;
    const Platform::ErrorCode code = Platform::lastError();
    // The staged archive may have taken the old one's read-only mode.
    if (archive_.isOpen())
        FileUtils::makeRemovable(archive_.native());
    archive_.close();
    // What is left of a full-size copy is named, never left unsaid.
    if (!removeEntry(folder_, journal_.archive, dropPrefix()))
        warnUnremoved(pathOf(journal_.archive));
    if (!journal_.unpacked.empty() && !removeFolderTree(folder_, journal_.unpacked, dropPrefix()))
        warnUnremoved(pathOf(journal_.unpacked));
    if (!removeJournal(inUseMs_))
        warnUnremoved(pathOf(journalName()));
    Platform::setLastError(code);
}

Installation::SwapBack Installation::swapBack() {
    Journal journal;
    const Found found = readJournal(journal, inUseMs_);
    // An emptied journal names nothing; the swap back's own replaces it.
    if (found == Found::Journal || found == Found::Foreign)
        return SwapBack::Interrupted;
    // Taken only as what a run makes: the archive a file, the folder a
    // folder, neither a link; the folder may be missing (the update kept
    // the installed one).
    std::vector<FileUtils::FolderEntry> entries;
    if (!folder_.list(entries))
        FileUtils::throwLastError({"Unable to list ", folder_.path().c_str()});
    bool archive = false;
    bool unpacked = false;
    for (const FileUtils::FolderEntry& entry : entries) {
        const bool isArchive = entry.name == keptArchiveName(stem_);
        if (!isArchive && entry.name != keptUnpackedName(stem_))
            continue;
        if (!isKept(entry, stem_))
            return SwapBack::NotOurs;
        (isArchive ? archive : unpacked) = true;
    }
    if (!archive)
        return unpacked ? SwapBack::NotOurs : SwapBack::NothingKept;
    // Held from here on, so that the archive put in place can be checked to
    // be this very file (a FIFO or device is refused here).
    Platform::File kept = folder_.openFile(keptArchiveName(stem_), FileUtils::OpenFor::Reading);
    if (!kept.isOpen()) {
        if (Platform::lastError() == ERROR_FILE_NOT_FOUND)
            return SwapBack::NothingKept;
        if (Platform::lastError() == ERROR_CANT_RESOLVE_FILENAME || Platform::lastError() == ERROR_CANT_ACCESS_FILE)
            return SwapBack::NotOurs;
        FileUtils::throwLastError({"Unable to open ", pathOf(keptArchiveName(stem_)).c_str()});
    }
    // The archive a run kept has this one name; a second one is a file
    // planted there, which would then be installed under the archive's name.
    Platform::FileIdentity keptIs;
    if (!kept.identity(keptIs))
        FileUtils::throwLastError({"Unable to open ", pathOf(keptArchiveName(stem_)).c_str()});
    if (keptIs.names != 1)
        return SwapBack::NotOurs;
    journal = Journal();
    journal.committed = true;
    journal.archive = keptArchiveName(stem_);
    if (unpacked)
        journal.unpacked = keptUnpackedName(stem_);
    journal.old = stem_ + kOldUnpacked + FileUtils::randomHex(16);
    writeJournal(journal, inUseMs_);
    Moved moved;
    try {
        rollForward(journal, inUseMs_, moved);
    } catch (const FileUtils::IOException&) {
        // The new pair back in place, the kept pair kept; failing that,
        // the journal lets the next repair finish the swap back.
        const Platform::ErrorCode code = Platform::lastError();
        if (undo(journal, moved))
            removeJournal(inUseMs_);
        Platform::setLastError(code);
        throw;
    }
    finishSwap(kept, journal.old, "After the swap back " + display_ + " is not the kept archive");
    return SwapBack::Done;
}

bool Installation::dropKept() const {
    std::vector<FileUtils::FolderEntry> entries;
    if (!folder_.list(entries)) {
        warnUnremoved(pathOf(keptArchiveName(stem_)));
        return false;
    }
    bool dropped = true;
    for (const FileUtils::FolderEntry& entry : entries) {
        if (isKept(entry, stem_))
            dropped = removeLeftover(entry) && dropped;
    }
    return dropped;
}
