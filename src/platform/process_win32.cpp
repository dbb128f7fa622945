#include "platform/process.h"
#include "platform/process_system.h"

#include "platform/clock.h"
#include "platform/win32.h"

#include <algorithm>

namespace Platform {

namespace {

// Starts `program` with `words` as the rest of its command line; on success
// `process` holds both of the child's handles.
ErrorCode createChild(const std::string& program, const std::vector<std::string>& words, PROCESS_INFORMATION& process) {
    // CreateProcessA may write into the command line, so it gets its own copy.
    std::string commandLine = buildCommandLine({program});
    for (const std::string& word : words)
        commandLine.append(word).append(1, ' ');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process))
        return GetLastError();
    return 0;
}

} // namespace

ErrorCode startDetached(const std::string& program, const std::vector<std::string>& words) {
    PROCESS_INFORMATION process{};
    if (const ErrorCode error = createChild(program, words, process))
        return error;
    // The child runs on alone; its handles are of no further use here.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

namespace {

HANDLE handleOf(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

} // namespace

} // namespace Platform

LaunchedProcess::~LaunchedProcess() {
    // The program runs on alone; its handle is of no further use here.
    if (process_ != -1)
        CloseHandle(Platform::handleOf(process_));
}

std::uint32_t LaunchedProcess::create(const std::string& program, const std::vector<std::string>& words) {
    PROCESS_INFORMATION process{};
    if (const Platform::ErrorCode error = Platform::createChild(program, words, process))
        return error;
    CloseHandle(process.hThread);
    process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
    return 0;
}

bool LaunchedProcess::waitForEnd(std::uint32_t timeoutMs, std::uint32_t& status) {
    if (!ended_) {
        const HANDLE process = Platform::handleOf(process_);
        if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
            return false;
        DWORD code = 0;
        // A status that cannot be read is none to judge the program by.
        status_ = GetExitCodeProcess(process, &code) ? code : 0;
        ended_ = true;
    }
    status = status_;
    return true;
}

namespace Platform {

ElevatedProcess::~ElevatedProcess() {
    if (process_ != -1)
        CloseHandle(handleOf(process_));
}

ErrorCode ElevatedProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    const std::string parameters = buildCommandLine(arguments);
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    // A windowless helper must never sit waiting on an error box of the shell.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info))
        return GetLastError(); // 1223: the user declined the prompt
    // No handle comes back when the shell handed the start to a running
    // program instead of creating a process; there is nothing to wait for.
    if (info.hProcess != nullptr) {
        process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
        id_ = GetProcessId(info.hProcess);
    }
    return 0;
}

bool ElevatedProcess::waitForExit(int& status) {
    DWORD code = 0;
    const HANDLE process = handleOf(process_);
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code))
        return false;
    // Windows keeps the status as 32 bits; -1 is the split failure's status.
    status = static_cast<int>(code);
    return true;
}

namespace {

enum class Liveness { Gone, Running, Unknown };

// One look at a process that we may not wait on: asking for it again tells
// whether it is still there.
Liveness lookAt(DWORD pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process != nullptr) {
        const DWORD state = WaitForSingleObject(process, 0);
        CloseHandle(process);
        return state == WAIT_OBJECT_0 ? Liveness::Gone : Liveness::Running;
    }
    // 87: no process has this id (any more).
    return GetLastError() == ERROR_INVALID_PARAMETER ? Liveness::Gone : Liveness::Unknown;
}

} // namespace

WatchedProcess::WatchedProcess(std::uint32_t pid) : pid_(pid) {
    if (const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid))
        watch_ = reinterpret_cast<std::intptr_t>(process);
    else
        gone_ = GetLastError() == ERROR_INVALID_PARAMETER; // 87: no process has this id
}

WatchedProcess::~WatchedProcess() {
    if (watch_ != -1)
        CloseHandle(handleOf(watch_));
}

bool WatchedProcess::hasEnded() const {
    if (watch_ != -1)
        return WaitForSingleObject(handleOf(watch_), 0) == WAIT_OBJECT_0;
    return gone_;
}

bool WatchedProcess::waitForEnd(std::uint32_t timeoutMs) const {
    if (watch_ != -1)
        return WaitForSingleObject(handleOf(watch_), timeoutMs) == WAIT_OBJECT_0;
    // A process that may not be waited on (access denied) is asked for
    // again every 100 ms.
    const std::uint64_t start = monotonicMs();
    for (;;) {
        if (lookAt(pid_) == Liveness::Gone)
            return true;
        const std::uint64_t waited = monotonicMs() - start;
        if (waited >= timeoutMs)
            return false;
        sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(100, timeoutMs - waited)));
    }
}

} // namespace Platform

// Windows' C runtime takes the zone from the system: nothing to keep.
void loadLocalTimeZoneOnce() {}
