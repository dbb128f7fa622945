#include "platform/clock.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <unistd.h>

namespace Platform {

std::uint64_t monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec / 1000000L);
}

void sleepMs(std::uint32_t ms) {
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    // A signal cuts a pause short; the rest is slept on.
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

} // namespace Platform
