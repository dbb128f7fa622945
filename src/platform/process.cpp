#include "platform/process.h"

#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/win32.h"

#include <algorithm>
#include <string>

namespace {

// What the system's splitting (CommandLineToArgvW, and the C runtime's) reads
// as the end of an argument or as special.
bool needsQuotes(const std::string& argument) {
    return argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string::npos;
}

// The argument as one token that the system's splitting gives back exactly:
// inside quotes, a quote is escaped with a backslash, and backslashes count
// double only where a quote follows them (an inner quote, or the closing one).
void appendQuoted(std::string& text, const std::string& argument) {
    if (!needsQuotes(argument)) {
        text += argument;
        return;
    }
    text += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            text.append(backslashes * 2 + 1, '\\');
        } else {
            text.append(backslashes, '\\');
        }
        backslashes = 0;
        text += c;
    }
    text.append(backslashes * 2, '\\');
    text += '"';
}

} // namespace

bool isBatchFileName(const std::string& program) {
    std::string name = program.substr(program.find_last_of("/\\") + 1);
    // "C:x.bat" is x.bat in drive C's current folder; past that, a colon
    // begins a stream ("x.bat::$DATA" is the file's own data).
    if (name.size() >= 2 && name[1] == ':' && name.size() == program.size())
        name.erase(0, 2);
    name = name.substr(0, name.find(':'));
    const std::size_t kept = name.find_last_not_of(". ");
    name.erase(kept == std::string::npos ? 0 : kept + 1);
    if (name.size() < 4)
        return false;
    std::string extension = name.substr(name.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return extension == ".bat" || extension == ".cmd";
}

std::string buildCommandLine(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        appendQuoted(text, argument);
        text += ' ';
    }
    return text;
}

int startProcess(const std::string& program, const std::vector<std::string>& words) {
    const std::string programText = FileUtils::toSystemSeparators(program);
    // CreateProcessA may write into the command line, so it gets its own copy.
    std::string commandLine = buildCommandLine({programText});
    for (const std::string& word : words)
        commandLine.append(word).append(1, ' ');

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

int startElevated(const std::string& program, const std::vector<std::string>& arguments, int& exitStatus) {
    const std::string parameters = buildCommandLine(arguments);
    exitStatus = 0;

    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    // A windowless helper must never sit waiting on an error box of the shell.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = "runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;

    Logger::instance()->log(INFO, "Attempting to execute " + program + " with administrator priviledges");
    if (!ShellExecuteExA(&info)) {
        // 1223: the user declined the prompt.
        const DWORD error = GetLastError();
        Logger::instance()->log(ERROR, "Failed to start with admin priviledges using ShellExecuteEx() Last error: " +
                                           std::to_string(error));
        return 255;
    }
    // No handle comes back when the shell handed the start to a running
    // program instead of creating a process; there is nothing to wait for.
    if (info.hProcess == nullptr)
        return 0;
    // Names the copy, so that a reader of the log can tell its lines from
    // those of other runs.
    Logger::instance()->log(INFO, "Elevated copy started, process id " +
                                      std::to_string(static_cast<unsigned long>(GetProcessId(info.hProcess))));
    DWORD code = 0;
    const bool ended = WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0;
    const bool known = ended && GetExitCodeProcess(info.hProcess, &code);
    const DWORD error = GetLastError();
    CloseHandle(info.hProcess);
    if (!known) {
        Logger::instance()->log(ERROR,
                                "The elevated copy's exit status cannot be read. Last error: " + std::to_string(error));
        exitStatus = 1;
        return 0;
    }
    // Windows keeps the status as 32 bits; -1 is the split failure's status.
    exitStatus = static_cast<int>(code);
    Logger::instance()->log(INFO, "Elevated copy ended, exit status " + std::to_string(exitStatus));
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
