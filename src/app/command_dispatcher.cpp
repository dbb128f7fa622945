#include "app/command_dispatcher.h"

#include "commands/commands.h"
#include "commands/entry_name.h"
#include "log/logger.h"
#include "options/option_parser.h"
#include "platform/file_utils.h"
#include "platform/win32.h"

#include <cstdio>
#include <new>

std::string localAppDataFolder(const std::string& name) {
    char folder[MAX_PATH] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return std::string();
    return FileUtils::toForwardSlashes(folder) + "/" + name;
}

namespace {

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
}

int run(int argc, char** argv) {
    const std::string logFolder = localAppDataFolder("vantrell");
    if (logFolder.empty()) {
        Logger::instance()->log(ERROR, "Unable to find the per-user local application data folder");
        return kFileSystemFailureStatus;
    }
    if (!FileUtils::directoryExists(logFolder.c_str())) {
        try {
            FileUtils::createDirectory(logFolder.c_str());
        } catch (const FileUtils::IOException&) {
            // A helper started at the same moment may have made it first.
            if (!FileUtils::directoryExists(logFolder.c_str()))
                throw;
        }
    }
    const std::string logPath = logFolder + "/" + "update-log.txt";
    std::fputs(logPath.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    Logger::instance()->open(logPath);

    OptionParser options;
    declareOptions(options);
    options.parse(argc, argv);

    if (options.getFlag("sleep")) {
        if (const auto status = sleepCommand(options))
            return *status;
    }
    // The elevated copy does everything else; this process only waits for it.
    if (options.getFlag("elevate"))
        return elevateCommand(options, argc, argv);
    // A repair alone does nothing else; every update repairs first anyway.
    if (options.getFlag("repair") && !options.getFlag("update"))
        return repairCommand(options);
    if (options.getFlag("update")) {
        if (const auto status = updateCommand(options))
            return *status;
    }
    if (options.getFlag("regedit")) {
        if (const auto status = regeditCommand(options))
            return *status;
    }
    if (options.getFlag("extract")) {
        if (const auto status = extractCommand(options))
            return *status;
    }
    if (options.getFlag("launch"))
        return launchCommand(options);
    return 0;
}

} // namespace

int CommandDispatcher(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const FileUtils::IOException& failure) {
        // A file-system step that cannot be done ends the run in order; the
        // line goes to standard error alone when the log is not open yet.
        // The text may carry an archive's entry name: it must stay one line.
        Logger::instance()->log(ERROR, printableEntryName(failure.what()));
        return kFileSystemFailureStatus;
    } catch (const std::bad_alloc&) {
        // Logging a line this short takes no memory.
        Logger::instance()->log(ERROR, "Out of memory");
        return kOutOfMemoryStatus;
    }
}
