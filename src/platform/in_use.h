// Trying again, for a bounded time, a step on a file that another program
// has in use: an app that is still quitting, a virus scanner.
#pragma once

#include "log/logger.h"
#include "platform/clock.h"
#include "platform/error_code.h"
#include "platform/win32.h"

#include <algorithm>
#include <string>

namespace FileUtils {

inline bool inUse(Platform::ErrorCode code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; }

// Runs `attempt` until it succeeds or fails with a code `retryable` does not
// accept: pauses from 50 ms, twice as long each time up to 1 s, for at most
// `budgetMs` in all, and one WARN line when the trying again starts. The
// result and the last-error code are the last attempt's.
template <typename Retryable, typename Attempt>
bool tryWhileInUse(const char* path, unsigned long budgetMs, Retryable retryable, Attempt attempt) {
    if (attempt())
        return true;
    Platform::ErrorCode code = Platform::lastError();
    if (!retryable(code) || budgetMs == 0)
        return false;
    Logger::instance()->log(WARN, "File " + std::string(path) + " is in use (error " + std::to_string(code) +
                                      "); trying again for up to " + std::to_string(budgetMs) + " ms");
    const std::uint64_t start = Platform::monotonicMs();
    std::uint32_t pause = 50;
    for (;;) {
        const std::uint64_t waited = Platform::monotonicMs() - start;
        if (waited >= budgetMs) {
            Platform::setLastError(code);
            return false;
        }
        Platform::sleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(pause, budgetMs - waited)));
        if (attempt())
            return true;
        code = Platform::lastError();
        if (!retryable(code))
            return false;
        pause = std::min<std::uint32_t>(pause * 2, 1000);
    }
}

} // namespace FileUtils
