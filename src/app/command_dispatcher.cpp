#include "app/command_dispatcher.h"

#include "commands/commands.h"
#include "log/logger.h"
#include "options/option_parser.h"
#include "platform/error_code.h"
#include "platform/file_utils.h"
#include "platform/log_file.h"

#include <cstdio>
#include <new>
#include <string>

void declareOptions(OptionParser& options) {
    options.addFlag("sleep");
    options.addOption("ms");
    options.addFlag("elevate");
    options.addFlag("update");
    options.addOption("wait");
    options.addOption("appAsar");
    options.addOption("updateAsar");
    options.addOption("sha512");
    options.addFlag("repair");
    options.addFlag("regedit");
    options.addOption("rootkey");
    options.addOption("subkey");
    options.addOption("key");
    options.addOption("value");
    options.addOption("type");
    options.addFlag("extract");
    options.addOption("zip");
    options.addOption("out");
    options.addFlag("launch");
    options.addOption("program");
    options.addOption("args");
    options.addFlag("launchAfterFailure");
    options.addOption("probation");
    options.addOption("healthyMark");
    options.addOption("runId");
    // Internal: what an elevated copy is asked to do.
    options.addFlag("rollback");
    options.addFlag("keepPrevious");
    options.addOption("waitLimit");
}

namespace {

// Runs one step of the dispatch; a file-system failure or running out of
// memory ends it in order, with its ERROR line and its own status.
template <typename Step> int guarded(Step step) {
    try {
        return step();
    } catch (const FileUtils::IOException& failure) {
        // The line goes to standard error alone when the log is not open yet.
        Logger::instance()->log(ERROR, failure.what());
        return kFileSystemFailureStatus;
    } catch (const std::bad_alloc&) {
        // Logging a line this short takes no memory.
        Logger::instance()->log(ERROR, "Out of memory");
        return kOutOfMemoryStatus;
    }
}

// Every command but the launch, in dispatch order; the status that ends them.
int runCommands(OptionParser& options, const WaitBudgets& budgets, int argc, char** argv) {
    if (options.getFlag("sleep")) {
        if (const auto status = sleepCommand(options))
            return *status;
    }
    // The elevated copy does the other commands; this process waits for it.
    if (options.getFlag("elevate"))
        return elevateCommand(options, argc, argv);
    // The copy that swaps a failed update back does only that.
    if (options.getFlag("rollback"))
        return rollbackCommand(options, budgets);
    // A repair alone does nothing else; every update repairs first anyway.
    if (options.getFlag("repair") && !options.getFlag("update"))
        return repairCommand(options, budgets);
    if (options.getFlag("update")) {
        if (const auto status = updateCommand(options, budgets))
            return *status;
    }
    if (options.getFlag("regedit")) {
        if (const auto status = regeditCommand(options))
            return *status;
    }
    if (options.getFlag("extract")) {
        if (const auto status = extractCommand(options, budgets))
            return *status;
    }
    return 0;
}

int run(int argc, char** argv) {
    const std::string root = Platform::localAppDataFolder();
    if (root.empty()) {
        Logger::instance()->log(ERROR, "Unable to find the per-user local application data folder");
        return kFileSystemFailureStatus;
    }
    // Our folder is held from here on and the log opened in it, neither
    // through a link: an elevated run never writes where a link planted in
    // the user's folder points.
    const std::string logFolderPath = root + "/vantrell";
    FileUtils::HeldFolder logFolder;
    if (!Platform::holdLogFolder(root, "vantrell", logFolder)) {
        if (Platform::lastError() == Platform::kLinkRefusedError)
            FileUtils::throwLastError({"Refusing the log folder, which is a link: ", logFolderPath.c_str()});
        FileUtils::throwLastError({"Unable to create directory ", logFolderPath.c_str()});
    }
    const std::string logPath = logFolderPath + "/update-log.txt";
    std::fputs(logPath.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    Logger::instance()->open(logFolder, "update-log.txt");

    OptionParser options;
    declareOptions(options);
    options.parse(argc, argv);

    // A caller that names its run finds exactly its lines between these two.
    const char* runId = options.getValue("runId");
    if (runId != nullptr)
        Logger::instance()->log(INFO, std::string("Run ") + runId + " started");
    // Every wait of the run takes its budget from here.
    const WaitBudgets budgets = waitBudgetsOption(options);
    const int status = guarded([&] { return runCommands(options, budgets, argc, argv); });
    int end = status;
    // The launch stays in this process, also when it elevated: the program
    // runs as the user who started the helper. After a failed command it
    // runs only when asked for, so that the app still comes back; the
    // failure stays the run's status. Such a failure may come before the
    // app named by --wait has quit: starting it then would hand its arguments
    // to the instance that is quitting, or run a second one, so the launch
    // waits for it, and an app that never quits is not started again.
    if (options.getFlag("launch") &&
        (status == 0 || (options.getFlag("launchAfterFailure") &&
                         appHasQuit(options, budgets, WARN, "the program is not launched again")))) {
        // An update just done is watched on probation, and undone when the
        // new version fails at start.
        const bool probation = status == 0 && options.getFlag("update") && options.getValue("probation") != nullptr;
        const int launched =
            guarded([&] { return probation ? launchOnProbation(options, budgets, argv[0]) : launchCommand(options); });
        if (status == 0)
            end = launched;
    }
    if (runId != nullptr)
        Logger::instance()->log(INFO, std::string("Run ") + runId + " ended, exit status " + std::to_string(end));
    return end;
}

} // namespace

int CommandDispatcher(int argc, char** argv) {
    return guarded([&] { return run(argc, argv); });
}
