// The time that passes, pauses, and this process's own id: what waits and
// retries are measured with and what names a run's lines and files.
#pragma once

#include <cstdint>

namespace Platform {

// Milliseconds since some fixed moment, never going back (not the time of
// day): the difference of two readings is the time that passed.
std::uint64_t monotonicMs();
// Pauses the calling thread for at least `ms` milliseconds; 0 only yields.
void sleepMs(std::uint32_t ms);
// This process's id, as other programs and the log know it.
std::uint32_t currentProcessId();

} // namespace Platform
