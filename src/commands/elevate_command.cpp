#include "commands/commands.h"
#include "log/logger.h"
#include "platform/process.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// "--elevate=..." sets the flag as well; handed on, it would make the copy
// elevate itself again, and so on without end.
bool isElevateFlag(const char* argument) {
    static const char flag[] = "--elevate";
    const std::size_t length = sizeof flag - 1;
    return std::strncmp(argument, flag, length) == 0 && (argument[length] == '\0' || argument[length] == '=');
}

} // namespace

int elevateCommand(OptionParser& /*options*/, int argc, char** argv) {
    Logger::instance()->log(INFO, "Requires elevated privileges");
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if (!isElevateFlag(argv[i]))
            arguments.emplace_back(argv[i]);
    }
    return startElevated(argv[0], arguments) != 0 ? 1 : 0;
}
