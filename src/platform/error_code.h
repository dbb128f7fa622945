// The system error code the log shows: Windows' own codes on both builds,
// natively `errno` mapped onto them, so a user reads one table. Every call
// of the platform layer that fails leaves its code here for the caller.
#pragma once

#include <cstdint>

namespace Platform {

using ErrorCode = std::uint32_t;

// The calling thread's last error, as the last failing platform call left it.
ErrorCode lastError();
void setLastError(ErrorCode code);
// Natively: the code the log shows for `errno` value `error`; `path`, when
// given, tells a missing file (2) from a missing folder on its way (3). On
// Windows it is never called.
ErrorCode errorFromErrno(int error, const char* path = nullptr);

} // namespace Platform
