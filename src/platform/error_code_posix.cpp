// The one thread-local last error of the native build, shared with the parts
// that still reach it through the older Win32-shaped calls.
#include "platform/error_code.h"

#include "posix/win32_standin.h"

namespace Platform {

ErrorCode lastError() { return GetLastError(); }
void setLastError(ErrorCode code) { SetLastError(code); }
ErrorCode errorFromErrno(int error, const char* path) { return win32ErrorFromErrno(error, path); }

} // namespace Platform
