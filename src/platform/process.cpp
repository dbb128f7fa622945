#include "platform/process.h"

#include "log/logger.h"
#include "platform/clock.h"
#include "platform/file_utils.h"
#include "platform/process_system.h"

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
    if (const Platform::ErrorCode error = Platform::startDetached(programText, words)) {
        Logger::instance()->log(ERROR, "Failed to start child process. " + programText +
                                           " Last error: " + std::to_string(error));
        return -8;
    }
    return 0;
}

int LaunchedProcess::start(const std::string& program, const std::vector<std::string>& words) {
    const std::string programText = FileUtils::toSystemSeparators(program);
    if (const std::uint32_t error = create(programText, words)) {
        Logger::instance()->log(ERROR, "Failed to start child process. " + programText +
                                           " Last error: " + std::to_string(error));
        return -8;
    }
    return 0;
}

int startElevated(const std::string& program, const std::vector<std::string>& arguments, int& exitStatus) {
    exitStatus = 0;
    Logger::instance()->log(INFO, "Attempting to execute " + program + " with administrator priviledges");
    Platform::ElevatedProcess copy;
    if (const Platform::ErrorCode error = copy.start(program, arguments)) {
        Logger::instance()->log(ERROR, "Failed to start with admin priviledges using ShellExecuteEx() Last error: " +
                                           std::to_string(error));
        return 255;
    }
    if (!copy.waitable())
        return 0;
    // Names the copy, so that a reader of the log can tell its lines from
    // those of other runs.
    Logger::instance()->log(INFO, "Elevated copy started, process id " + std::to_string(copy.id()));
    int status = 0;
    if (!copy.waitForExit(status)) {
        Logger::instance()->log(ERROR, "The elevated copy's exit status cannot be read. Last error: " +
                                           std::to_string(Platform::lastError()));
        exitStatus = 1;
        return 0;
    }
    exitStatus = status;
    Logger::instance()->log(INFO, "Elevated copy ended, exit status " + std::to_string(exitStatus));
    return 0;
}

bool processHasEnded(unsigned long pid) { return Platform::WatchedProcess(static_cast<std::uint32_t>(pid)).hasEnded(); }

bool waitForProcessExit(unsigned long pid, unsigned long timeoutMs) {
    if (pid == 0 || pid == Platform::currentProcessId())
        return true;
    const Platform::WatchedProcess process(static_cast<std::uint32_t>(pid));
    if (process.hasEnded())
        return true;
    Logger::instance()->log(INFO, "Waiting for process " + std::to_string(pid) + " to exit");
    if (!process.waitForEnd(static_cast<std::uint32_t>(timeoutMs)))
        return false;
    Logger::instance()->log(INFO, "Process " + std::to_string(pid) + " has exited");
    return true;
}
