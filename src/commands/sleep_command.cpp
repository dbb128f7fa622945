#include "commands/commands.h"
#include "commands/decimal_text.h"
#include "log/logger.h"
#include "platform/clock.h"

#include <cstdint>
#include <string>

std::optional<int> sleepCommand(OptionParser& options) {
    const char* ms = options.getValue("ms");
    if (ms == nullptr) {
        Logger::instance()->log(ERROR, "Sleep time in milliseconds is required for sleep command");
        return 1;
    }
    const auto milliseconds = static_cast<std::int32_t>(readSignedDecimal(ms, INT32_MIN, INT32_MAX));
    Logger::instance()->log(INFO, "Sleeping for " + std::to_string(milliseconds) + " milliseconds");
    // A negative time would read as an endless or weeks-long wait.
    Platform::sleepMs(milliseconds > 0 ? static_cast<std::uint32_t>(milliseconds) : 0);
    Logger::instance()->log(INFO, "Sleep completed");
    return std::nullopt;
}
