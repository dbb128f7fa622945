#include "commands/commands.h"
#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/process.h"

#include <string>
#include <vector>

namespace {

// Single spaces separate; runs of spaces give no empty arguments, and quotes
// group nothing (they stay on the pieces, and the pieces are rejoined with one
// space on the child's command line).
std::vector<std::string> splitArguments(const std::string& text) {
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t space; (space = text.find(' ', start)) != std::string::npos; start = space + 1) {
        if (space > start)
            arguments.push_back(text.substr(start, space - start));
    }
    if (start < text.size())
        arguments.push_back(text.substr(start));
    return arguments;
}

} // namespace

std::optional<int> prepareLaunch(OptionParser& options, std::string& program, std::vector<std::string>& words) {
    const char* programValue = options.getValue("program");
    if (programValue == nullptr) {
        Logger::instance()->log(ERROR, "Program path is required for launch command");
        return 1;
    }
    program = programValue;
    const char* argsValue = options.getValue("args");
    const std::string args = argsValue != nullptr ? argsValue : "";
    Logger::instance()->log(INFO, "Launching process. Program: " + program + ", Args: " + args);
    if (!FileUtils::fileExists(program.c_str())) {
        Logger::instance()->log(ERROR, "The executable file doesn't exist: " + program);
        return 1;
    }
    // cmd.exe would read the arguments as commands of its own: no quoting
    // for it is attempted, the program is refused as one that cannot start.
    if (kBatchFilesRunThroughCmd && isBatchFileName(program)) {
        Logger::instance()->log(ERROR, "Refusing to start a batch file: " + program +
                                           " (cmd.exe would read its arguments as commands)");
        return 0;
    }
    words = splitArguments(args);
    return std::nullopt;
}

int launchCommand(OptionParser& options) {
    std::string program;
    std::vector<std::string> words;
    if (const auto status = prepareLaunch(options, program, words))
        return *status;
    // A failed start has been logged and still ends the run with 0.
    startProcess(program, words);
    return 0;
}
