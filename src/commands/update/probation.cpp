// An updated program on probation, as its log tells it: the stale healthy
// mark removed, the program started and watched, then either the kept
// previous pair dropped (healthy) or swapped back and the program started
// once more on it.
#include "app/command_dispatcher.h"
#include "commands/commands.h"
#include "commands/decimal_text.h"
#include "commands/update/installation.h"
#include "commands/update/update_target.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/error_code.h"
#include "platform/file_utils.h"
#include "platform/held_folder.h"
#include "platform/new_file.h"
#include "platform/process.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// How often the mark is looked for; the program's end wakes the watch at
// once.
constexpr std::uint32_t kMarkPollMs = 50;

std::string optionText(OptionParser& options, const char* name) {
    const char* value = options.getValue(name);
    return value != nullptr ? value : "";
}

// The file the new version makes once it counts itself healthy. One left
// from an earlier run would vouch for a version that never ran, so it is
// removed before the program starts, by this process, which runs as the
// user who started the helper (never the elevated copy): a removal judges
// nothing by clocks, which a file system's granularity and a copied mark
// can fool. Its folder is held, the mark never followed through a link.
class HealthyMark {
public:
    explicit HealthyMark(const std::string& path) : path_(path), watched_(!path.empty()) {
        if (!watched_)
            return;
        parts_ = FileUtils::heldFolderAndName(path);
        if (parts_.name.empty() || parts_.name == "." || parts_.name == "..") {
            Logger::instance()->log(WARN, "The healthy mark is no file name: " + path_ + "; it is not watched");
            watched_ = false;
        }
    }

    // Removes a mark already there; one that cannot be removed is not
    // watched (WARN).
    void clear() {
        if (!watched_ || !hold())
            return;
        if (folder_.remove(parts_.name) || Platform::lastError() == ERROR_FILE_NOT_FOUND)
            return;
        Logger::instance()->log(
            WARN, "Unable to remove the earlier healthy mark " + path_ + " GetLastError returned: " +
                      std::to_string(static_cast<unsigned long>(Platform::lastError())) + "; it is not watched");
        watched_ = false;
    }

    // Whether anything stands at the mark's name now.
    bool present() {
        if (!watched_ || !hold())
            return false;
        if (folder_.openFile(parts_.name, FileUtils::OpenFor::Attributes).isOpen())
            return true;
        const Platform::ErrorCode code = Platform::lastError();
        return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
    }

private:
    // The mark's folder may appear only once the program runs.
    bool hold() { return folder_.isOpen() || folder_.openWithoutLastLink(parts_.folder); }

    std::string path_;
    bool watched_;
    FileUtils::FolderAndName parts_;
    FileUtils::HeldFolder folder_;
};

enum class Verdict { Marked, Running, ExitedCleanly, Failed };

// Watches `program` for up to `probationMs`; `status` is its exit status
// when it failed.
Verdict watch(LaunchedProcess& program, HealthyMark& mark, std::uint32_t probationMs, std::uint32_t& status) {
    const std::uint64_t start = Platform::monotonicMs();
    for (;;) {
        if (mark.present())
            return Verdict::Marked;
        const std::uint64_t waited = Platform::monotonicMs() - start;
        if (waited >= probationMs)
            return Verdict::Running;
        const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(kMarkPollMs, probationMs - waited));
        if (program.waitForEnd(slice, status))
            // A mark made just before a failing end still vouches for it.
            return status == 0 ? Verdict::ExitedCleanly : mark.present() ? Verdict::Marked : Verdict::Failed;
    }
}

// Whether this process may make files in the archive's folder: a file of
// ours (a drop name, which a repair removes should we be killed) is made
// there and removed again. Asked before the lock, whose file a user without
// the rights could not make either, and would wait for as for a holder's.
bool mayWriteBeside(const std::string& appAsar) {
    const FileUtils::FolderAndName parts = FileUtils::heldFolderAndName(appAsar);
    FileUtils::HeldFolder folder;
    FileUtils::NewFile probe;
    return !folder.openWithoutLastLink(parts.folder) ||
           probe.createUnique(folder, stagingStem(parts.name) + ".vantrell-drop-", "", 0600) ||
           Platform::lastError() != ERROR_ACCESS_DENIED;
}

// The kept pair of a healthy update goes, under the archive's lock. This
// process may lack the rights the update had (it elevated): what it cannot
// remove stays for the next update or repair, which removes it, and no
// second prompt is shown for it.
void dropKept(const std::string& appAsar, const WaitBudgets& budgets) {
    if (!mayWriteBeside(appAsar)) {
        Logger::instance()->log(WARN, "This process may not remove the previous version of " + appAsar +
                                          "; it stays until the next update or repair");
        return;
    }
    try {
        Target target;
        int status = 0;
        if (!holdTarget(appAsar, "Unable to remove the previous version of " + appAsar, budgets.lockMs, target, status))
            return;
        Installation installation(target.folder, target.name, appAsar, budgets.inUseMs);
        if (installation.dropKept())
            Logger::instance()->log(INFO, "Removed the previous version of " + appAsar);
    } catch (const FileUtils::IOException& failure) {
        Logger::instance()->log(WARN, std::string(failure.what()) +
                                          "; the previous version stays until the next update or repair");
    }
}

enum class SwappedBack { Done, Denied, Failed };

// One try at the swap back in this process. Denied: refused for lack of
// rights before anything was moved, nothing logged.
SwappedBack swapBack(const std::string& appAsar, const WaitBudgets& budgets, bool mayBeDenied) {
    if (mayBeDenied && !mayWriteBeside(appAsar)) {
        Logger::instance()->log(INFO, "This process may not write beside " + appAsar +
                                          "; rolling back with administrator rights");
        return SwappedBack::Denied;
    }
    Target target; // outlives the catch below, so that the code is the step's own
    try {
        int status = 0;
        if (!holdTarget(appAsar, "Unable to roll back " + appAsar, budgets.lockMs, target, status))
            return SwappedBack::Failed;
        Installation installation(target.folder, target.name, appAsar, budgets.inUseMs);
        switch (installation.swapBack()) {
        case Installation::SwapBack::Done:
            Logger::instance()->log(INFO, "Rolled back " + appAsar + " to the previous version");
            return SwappedBack::Done;
        case Installation::SwapBack::NothingKept:
            Logger::instance()->log(ERROR, "No previous version of " + appAsar + " is kept; nothing was rolled back");
            return SwappedBack::Failed;
        case Installation::SwapBack::NotOurs:
            Logger::instance()->log(ERROR, "The previous version kept beside " + appAsar +
                                               " is a link or not of the kind this helper keeps; nothing was "
                                               "rolled back");
            return SwappedBack::Failed;
        case Installation::SwapBack::Interrupted:
            Logger::instance()->log(ERROR, "An interrupted update of " + appAsar +
                                               " is in the way (repair it); nothing was rolled back");
            return SwappedBack::Failed;
        }
    } catch (const FileUtils::IOException& failure) {
        if (mayBeDenied && Platform::lastError() == ERROR_ACCESS_DENIED) {
            Logger::instance()->log(INFO, std::string(failure.what()) + "; rolling back with administrator rights");
            return SwappedBack::Denied;
        }
        Logger::instance()->log(ERROR, failure.what());
    }
    return SwappedBack::Failed;
}

// The swap back by an elevated copy of this program that does nothing else.
bool swapBackElevated(OptionParser& options, const char* self, const std::string& appAsar) {
    std::vector<std::string> arguments = {"--rollback", "--appAsar", appAsar};
    if (const char* runId = options.getValue("runId")) {
        arguments.push_back("--runId");
        arguments.push_back(runId);
    }
    // A test's shortened waits hold for the copy too.
    if (const char* limit = options.getValue("waitLimit")) {
        arguments.push_back("--waitLimit");
        arguments.push_back(limit);
    }
    int copyStatus = 0;
    return startElevated(self, arguments, copyStatus) == 0 && copyStatus == 0;
}

} // namespace

bool keepsReplaced(OptionParser& options) {
    return options.getFlag("keepPrevious") || (options.getValue("probation") != nullptr && options.getFlag("launch"));
}

int rollbackCommand(OptionParser& options, const WaitBudgets& budgets) {
    return swapBack(optionText(options, "appAsar"), budgets, false) == SwappedBack::Done ? 0 : kFileSystemFailureStatus;
}

int launchOnProbation(OptionParser& options, const WaitBudgets& budgets, const char* self) {
    const std::string appAsar = optionText(options, "appAsar");
    const auto probationMs =
        static_cast<std::uint32_t>(readSignedDecimal(options.getValue("probation"), 0, UINT32_MAX));
    HealthyMark mark(optionText(options, "healthyMark"));
    mark.clear();
    std::string program;
    std::vector<std::string> words;
    LaunchedProcess launched;
    // Nothing that starts cannot fail at start: the update stands.
    if (const auto status = prepareLaunch(options, program, words)) {
        dropKept(appAsar, budgets);
        return *status;
    }
    if (launched.start(program, words) != 0) {
        dropKept(appAsar, budgets);
        return 0;
    }
    std::uint32_t status = 0;
    switch (watch(launched, mark, probationMs, status)) {
    case Verdict::Marked:
        Logger::instance()->log(INFO, "The updated program made its healthy mark");
        dropKept(appAsar, budgets);
        return 0;
    case Verdict::Running:
        Logger::instance()->log(INFO, "The updated program still runs after " + std::to_string(probationMs) + " ms");
        dropKept(appAsar, budgets);
        return 0;
    case Verdict::ExitedCleanly:
        Logger::instance()->log(INFO, "The updated program ended with exit status 0");
        dropKept(appAsar, budgets);
        return 0;
    case Verdict::Failed:
        break;
    }
    Logger::instance()->log(WARN, "The updated program ended with exit status " + std::to_string(status) +
                                      " before it was healthy; rolling back " + appAsar);
    // One try here; only a refusal for lack of rights asks for them, once.
    SwappedBack swapped = swapBack(appAsar, budgets, true);
    if (swapped == SwappedBack::Denied)
        swapped = swapBackElevated(options, self, appAsar) ? SwappedBack::Done : SwappedBack::Failed;
    if (swapped != SwappedBack::Done)
        return kFileSystemFailureStatus;
    // The previous version is not watched: no second rollback, no loop.
    startProcess(program, words);
    return kRolledBackStatus;
}
