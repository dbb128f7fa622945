#include "platform/clock.h"

#include "platform/win32.h"

namespace Platform {

std::uint64_t monotonicMs() { return GetTickCount64(); }
void sleepMs(std::uint32_t ms) { Sleep(ms); }
std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

} // namespace Platform
