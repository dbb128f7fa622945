#include "platform/error_code.h"

#include "platform/win32.h"

namespace Platform {

ErrorCode lastError() { return GetLastError(); }
void setLastError(ErrorCode code) { SetLastError(code); }
ErrorCode errorFromErrno(int, const char*) { return ERROR_INVALID_FUNCTION; }

} // namespace Platform
