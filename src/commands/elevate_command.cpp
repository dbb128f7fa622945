#include "commands/commands.h"
#include "log/logger.h"
#include "platform/process.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Options that the copy is not given: the elevate flag in any form (handed
// on, it would make the copy elevate itself again, and so on without end),
// and the launch, which this process does once the copy has ended, so that
// the program runs unelevated, as the user who started the helper; so does
// the watch of an updated program on probation.
bool staysHere(const char* name) {
    for (const char* kept : {"elevate", "launch", "program", "args", "launchAfterFailure", "probation", "healthyMark"})
        if (name != nullptr && std::strcmp(name, kept) == 0)
            return true;
    return false;
}

} // namespace

int elevateCommand(OptionParser& options, int argc, char** argv) {
    Logger::instance()->log(INFO, "Requires elevated privileges");
    std::vector<std::string> arguments;
    for (int i = 1; i < argc;) {
        const char* name = nullptr;
        const int span = options.span(argc, argv, i, &name);
        if (!staysHere(name))
            arguments.insert(arguments.end(), argv + i, argv + i + span);
        i += span;
    }
    // The copy updates; the pair it replaces is kept for the watch here.
    if (keepsReplaced(options) && options.getFlag("update") && !options.getFlag("keepPrevious"))
        arguments.push_back("--keepPrevious");
    int copyStatus = 0;
    if (startElevated(argv[0], arguments, copyStatus) != 0)
        return 1;
    return copyStatus;
}
