// The system's message text for an error code the log shows.
#pragma once

#include "platform/error_code.h"

#include <string>

// The text exactly as the system gives it, line end (CR LF) included;
// "FormatMessage fail" when the system has no text for the code. Natively
// the texts are our own, one sentence per code this helper reports.
std::string systemErrorText(Platform::ErrorCode code);
