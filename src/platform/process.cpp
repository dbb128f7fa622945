#include "platform/process.h"

#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/win32.h"

#include <algorithm>

namespace {

bool needsQuotes(const std::string& argument) {
    if (argument.empty())
        return false;
    const bool enclosed = argument.size() >= 2 && argument.front() == '"' && argument.back() == '"';
    return !enclosed && argument.find(' ') != std::string::npos;
}

} // namespace

std::string buildCommandLine(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        if (needsQuotes(argument)) {
            // Backslashes in front of the closing quote would escape it
            // ("C:\Program Files\App\" would swallow the quote and run on
            // into the next argument); doubled, they read as themselves.
            std::size_t trailing = 0;
            while (trailing < argument.size() && argument[argument.size() - 1 - trailing] == '\\')
                ++trailing;
            text += '"';
            text += argument;
            text.append(trailing, '\\');
            text += '"';
        } else {
            text += argument;
        }
        text += ' ';
    }
    return text;
}

int startProcess(const std::string& program, const std::vector<std::string>& arguments) {
    const std::string programText = FileUtils::toBackslashes(program);
    std::vector<std::string> command;
    command.reserve(arguments.size() + 1);
    command.push_back(programText);
    command.insert(command.end(), arguments.begin(), arguments.end());
    // CreateProcessA may write into the command line, so it gets its own copy.
    std::string commandLine = buildCommandLine(command);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(programText.c_str(), &commandLine[0], nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process)) {
        const DWORD error = GetLastError();
        Logger::instance()->log(ERROR, "Failed to start child process. " + programText +
                                           " Last error: " + std::to_string(error));
        return -8;
    }
    // The child runs on alone; its handles are of no further use here.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int startElevated(const std::string& program, const std::vector<std::string>& arguments) {
    const std::string parameters = buildCommandLine(arguments);

    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;

    Logger::instance()->log(INFO, "Attempting to execute " + program + " with administrator priviledges");
    if (!ShellExecuteExA(&info)) {
        Logger::instance()->log(ERROR, "Failed to start with admin priviledges using ShellExecuteEx()");
        return 255;
    }
    // No handle comes back when the shell handed the start to a running
    // program instead of creating a process; there is nothing to wait for.
    if (info.hProcess != nullptr) {
        // Names the copy, so that a reader of the log can tell its lines from
        // those of other runs.
        Logger::instance()->log(INFO, "Elevated copy started, process id " +
                                          std::to_string(static_cast<unsigned long>(GetProcessId(info.hProcess))));
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    }
    return 0;
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

bool processHasEnded(unsigned long pid) { return lookAt(static_cast<DWORD>(pid)) == Liveness::Gone; }

bool waitForProcessExit(unsigned long pid, unsigned long timeoutMs) {
    if (pid == 0 || pid == GetCurrentProcessId())
        return true;
    const DWORD id = static_cast<DWORD>(pid);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (process == nullptr && GetLastError() != ERROR_ACCESS_DENIED)
        return true;
    if (process != nullptr && WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        CloseHandle(process);
        return true;
    }

    const std::string name = "Process " + std::to_string(pid);
    Logger::instance()->log(INFO, "Waiting for process " + std::to_string(pid) + " to exit");
    bool exited = false;
    if (process != nullptr) {
        exited = WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
        CloseHandle(process);
    } else {
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            const Liveness seen = lookAt(id);
            if (seen == Liveness::Gone) {
                exited = true;
                break;
            }
            const ULONGLONG waited = GetTickCount64() - start;
            if (waited >= timeoutMs)
                break;
            Sleep(static_cast<DWORD>(std::min<ULONGLONG>(100, timeoutMs - waited)));
        }
    }
    if (exited)
        Logger::instance()->log(INFO, name + " has exited");
    return exited;
}
