// Windows: the lock file is held open without any sharing, so no one else
// opens it while its holder runs, and deleted on close; the system closes it
// when the holder ends in any way.
#include "commands/update/update_lock.h"

#include "platform/held_folder_win32.h"

#include <sddl.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

// Full access for the file's owner, the system and the administrators, and
// nothing inherited from the folder: a user who may only read the folder
// cannot open the file, and so cannot hold it. Who may write the folder can
// still delete a file left behind.
const char kLockAccess[] = "D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)";

// How many times in a row a run may be refused the making of the lock file
// with nothing at its name before it counts as one without the rights: a
// file on its way out refuses its name for a moment, then is gone.
constexpr int kRefusalsWithoutRights = 3;

enum class Step { held, busy, again, denied, noRights, failed };

// A plain file of its own: no folder, link or other reparse point, one name.
bool isSound(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(file, &information) &&
           (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           information.nNumberOfLinks == 1;
}

// Removes what stands at `name`: a file left behind (its holder gone) or an
// unsound one. A live holder shares no deleting: then it is busy.
Step replace(const FileUtils::HeldFolder& folder, const std::string& name) {
    if (folder.remove(name) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return Step::again;
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
        return Step::busy;
    return code == ERROR_ACCESS_DENIED ? Step::denied : Step::failed;
}

Step tryLock(const FileUtils::HeldFolder& folder, const std::string& name, SECURITY_ATTRIBUTES& access, HANDLE& file) {
    // Deleted when closed, by the system too when the holder is killed.
    file = FileUtils::openLockFile(folder, name, access.lpSecurityDescriptor);
    if (file != INVALID_HANDLE_VALUE) {
        if (isSound(file))
            return Step::held;
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        return replace(folder, name);
    }
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
        return Step::busy;
    // Not ours to open: a holder's file made with other rights (an elevated
    // run's, seen by one that is not), a file on its way out, a folder at
    // the name, or a file left by another user. Which one, removing it
    // tells: a live holder shares no deleting.
    if (code == ERROR_ACCESS_DENIED) {
        const Step step = replace(folder, name);
        if (step != Step::again)
            return step;
        // Nothing stood in the way: this run may not make files here.
        SetLastError(ERROR_ACCESS_DENIED);
        return Step::noRights;
    }
    return Step::failed;
}

} // namespace

UpdateLock::~UpdateLock() = default; // closing the file deletes it

UpdateLock::Result UpdateLock::take(const FileUtils::HeldFolder& folder, const std::string& name,
                                    unsigned long waitMs) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockAccess, SDDL_REVISION_1, &descriptor, nullptr))
        return Result::failed;
    SECURITY_ATTRIBUTES access{};
    access.nLength = sizeof access;
    access.lpSecurityDescriptor = descriptor;
    const std::string lockName = fileName(name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    Result result = Result::busy;
    int refusals = 0;
    for (;;) {
        HANDLE file = INVALID_HANDLE_VALUE;
        const Step step = tryLock(folder, lockName, access, file);
        file_ = Platform::File(file);
        refusals = step == Step::noRights ? refusals + 1 : 0;
        // A user without the rights is told so at once, not after a wait
        // as for a holder.
        if (refusals == kRefusalsWithoutRights)
            SetLastError(ERROR_ACCESS_DENIED);
        if (step == Step::held || step == Step::failed || refusals == kRefusalsWithoutRights) {
            result = step == Step::held ? Result::held : Result::failed;
            break;
        }
        const bool denied = step == Step::denied || step == Step::noRights;
        // A file this run may neither open nor remove is no holder's
        // proof: past the wait it is reported as the refusal it is.
        if (std::chrono::steady_clock::now() >= deadline) {
            if (denied)
                SetLastError(ERROR_ACCESS_DENIED);
            result = denied ? Result::failed : Result::busy;
            break;
        }
        if (step != Step::again)
            std::this_thread::sleep_for(kPoll);
    }
    const DWORD code = GetLastError();
    LocalFree(descriptor);
    SetLastError(code);
    return result;
}
