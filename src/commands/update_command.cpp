#include "commands/commands.h"
#include "commands/decimal_text.h"
#include "log/logger.h"
#include "platform/file_utils.h"
#include "platform/process.h"

#include <cstdint>
#include <string>

namespace {
// Long enough for an app to save its state and quit, and for a scanner to
// let go of what it checks; an app that hangs must not stop the update.
constexpr unsigned long kAppExitWaitMs = 60000;
} // namespace

std::optional<int> updateCommand(OptionParser& options) {
    std::uint32_t waitPid = 0;
    std::string appAsar;
    std::string updateAsar;
    if (const char* wait = options.getValue("wait")) {
        // Read as 64 bits, kept as the low 32: "-1" names 4294967295.
        const std::int64_t value = readSignedDecimal(wait, INT64_MIN, INT64_MAX);
        waitPid = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
    }
    if (const char* value = options.getValue("appAsar"))
        appAsar = value;
    if (const char* value = options.getValue("updateAsar"))
        updateAsar = value;

    Logger::instance()->log(INFO, "started updater. waitPid: " + std::to_string(waitPid) + ", appAsar: " + appAsar +
                                      ", updateAsar: " + updateAsar);
    if (!FileUtils::fileExists(updateAsar.c_str())) {
        Logger::instance()->log(ERROR, "The update asar doesn't exist");
        return 2;
    }
    // The app keeps its archive open while it runs: replacing it before the
    // app has gone would fail, and leave the app closed and not relaunched.
    waitForProcessExit(waitPid, kAppExitWaitMs);
    // Either step throws when it cannot be done; the run then ends without
    // claiming the update finished.
    FileUtils::copyFile(updateAsar.c_str(), appAsar.c_str());
    FileUtils::removeFile(updateAsar.c_str());
    Logger::instance()->log(INFO, "Update finished");
    return std::nullopt;
}
