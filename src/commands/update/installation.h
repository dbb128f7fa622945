// Puts a checked archive, and with it the update's unpacked folder when it
// has one, in the place of the app's archive, in the folder held open. The
// new archive never runs with the old unpacked files: both are staged beside
// the old ones, and a journal, `<archive>.vantrell-journal`, says what is
// under way. A run killed at any instant leaves a state that the next run
// for the archive (repair) completes, once the journal says the update was
// committed, or undoes, before that.
//
// Names, all in the archive's folder, `<archive>` its file name:
//   <archive>.vantrell-new-<16 hex>               the new archive, staged
//   <archive>.vantrell-unpacked-new-<16 hex>/     the new unpacked folder
//   <archive>.vantrell-unpacked-old-<16 hex>/     the old one, moved aside
//   <archive>.vantrell-journal                    the journal
//   <archive>.vantrell-journal-<16 hex>           a journal being written
//   <archive>.vantrell-drop-<16 hex>              renamed over a name to remove it
//   <archive>.vantrell-previous                   the archive replaced, kept
//   <archive>.vantrell-unpacked-previous/         the unpacked folder replaced, kept
// (`<archive>` is "~vt" and 8 hex digits of a hash of the name when the
// name is too long to have 39 characters added.)
// Committing moves the old unpacked folder aside, the new one into its
// place, and the new archive over the old: each step a rename, each found
// done or not by the names alone, so completing it again is always safe.
// An update that keeps what it replaces (while the new version proves it
// starts) moves the old folder and the old archive to the two kept names
// instead; swapping back is the same journaled commit with the kept pair
// as what is put in place. A kept pair is dropped by the next repair.
#pragma once

#include "platform/held_folder.h"

#include <string>

class Installation {
public:
    // `folder` must stay open while this object lives; `display` is the
    // archive's path as given, for the log. A step refused because a file is
    // in use is tried again for `inUseMs`.
    Installation(const FileUtils::HeldFolder& folder, const std::string& name, const std::string& display,
                 unsigned long inUseMs);
    // Abandons an update begun and not committed.
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    // Completes or undoes what a killed run left for this archive (one INFO
    // line says which), then removes every other leftover of ours beside it:
    // only our exact names, each of the kind we make under it. False when
    // there was no journal. Throws FileUtils::IOException when a step fails,
    // and, having changed nothing, when the journal stays unreadable (held by
    // another program) for `inUseMs`.
    bool repair();
    // Journals a new update and creates its archive file, open for writing,
    // with the access of the archive it replaces. Throws IOException.
    Platform::File& begin(bool withUnpacked);
    // Copies the held folder `source` into the staged unpacked folder, its files
    // flushed to disk. False, with `link` naming it, at the first link or
    // other reparse point in it: nothing is read through one. Throws
    // IOException for other failures.
    bool stageUnpacked(const FileUtils::HeldFolder& source, std::string& link);
    // Flushes the staged archive and swaps everything in. Throws
    // IOException: then the old archive and unpacked folder are in place
    // again, or, when even that fails, the journal lets the next run
    // complete the update. Also throws when, after the swap, the archive's
    // name leads to another file than the one written here.
    void commit();
    // Removes what begin staged, and the journal; a WARN line names what
    // stays.
    void abandon();

    // Asked before begin: the commit keeps the archive and unpacked folder it
    // replaces under the two kept names instead of removing them. Anything
    // of ours already at those names is removed by the repair before.
    void keepReplaced() { keep_ = true; }
    enum class SwapBack {
        Done,
        NothingKept, // no kept archive
        NotOurs,     // a kept name holds what no run makes (a link, a folder for the archive, a file for the folder)
        Interrupted, // an interrupted update's journal is in the way
    };
    // Puts the kept pair back in place of the archive and its unpacked
    // folder, journaled as a commit is: killed at any instant, the next
    // repair completes it. Anything but Done has moved nothing. Throws
    // IOException when a step fails: the new pair is then in place again
    // (the kept pair kept), or, when even that fails, the journal lets the
    // next repair complete the swap back.
    SwapBack swapBack();
    // Removes the kept pair, each name only as the kind a run makes; a WARN
    // line names what stays. False when something stays.
    bool dropKept() const;

    struct Journal {
        bool committed = false;
        std::string archive;
        std::string unpacked; // empty: the update has no unpacked folder
        std::string old;
        bool keep = false; // the replaced pair goes to the kept names
    };

private:
    std::string journalName() const { return stem_ + ".vantrell-journal"; }
    std::string pathOf(const std::string& entry) const { return folder_.path() + "/" + entry; }
    std::string dropPrefix() const { return stem_ + ".vantrell-drop-"; }
    // Emptied: what a removal of the journal killed midway leaves (it puts
    // an empty file of ours over the name first), naming nothing to do.
    enum class Found { None, Journal, Foreign, Emptied };
    // The journal read whole and judged by its content: none, ours, or
    // something else at its name. Throws IOException, having changed
    // nothing, when it is still unreadable (in use) after `inUseMs`.
    Found readJournal(Journal& journal, unsigned long inUseMs) const;
    // Each replaces or removes the journal, trying a journal in use again for
    // `inUseMs`; writeJournal throws IOException.
    void writeJournal(const Journal& journal, unsigned long inUseMs) const;
    bool removeJournal(unsigned long inUseMs) const;
    // What a commit moved so far, for undoing it when a later step fails.
    struct Moved {
        bool old = false;     // the installed folder aside
        bool fresh = false;   // the staged folder into place
        bool archive = false; // the installed archive to the kept name
    };
    void rollForward(const Journal& journal, unsigned long inUseMs, Moved& moved) const;
    // Puts back what a failed rollForward of `journal` moved; false when
    // that fails too.
    bool undo(const Journal& journal, const Moved& moved) const;
    // The end of a swap: whether the archive's name leads to `placed`, which
    // is then closed; the set-aside folder `old` (unless empty) and the
    // journal removed. Throws IOException with the message `notOurs` when
    // another file stands at the name.
    void finishSwap(Platform::File& placed, const std::string& old, const std::string& notOurs) const;
    // Removes one name of ours as the kind it is; a WARN line names it when
    // it stays.
    bool removeLeftover(const FileUtils::FolderEntry& entry) const;
    void sweepLeftovers() const;

    const FileUtils::HeldFolder& folder_;
    const std::string name_;
    const std::string stem_;
    const std::string display_;
    const unsigned long inUseMs_;
    Journal journal_;
    Platform::File archive_;
    bool begun_ = false;
    bool keep_ = false;
};

// Reads a journal's text; false for anything but what writeJournal writes
// for `name`. Every name in it must be one of the staging names above.
bool parseJournal(const std::string& text, const std::string& stem, Installation::Journal& journal);
// The stem of the names beside the archive `name`.
std::string stagingStem(const std::string& name);
// The kept names for the stem `stem`.
std::string keptArchiveName(const std::string& stem);
std::string keptUnpackedName(const std::string& stem);
std::string journalText(const Installation::Journal& journal);
