// The system's message text for a Win32 error code.
#pragma once

#include "platform/win32.h"

#include <string>

// The text exactly as the system gives it, line end (CR LF) included;
// "FormatMessage fail" when the system has no text for the code.
std::string systemErrorText(DWORD code);
