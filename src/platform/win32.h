// The one place that includes the Windows headers, for the Windows sides of
// the platform layer; natively it gives only the error codes the log shows
// and the path separator, never a Win32 call.
#pragma once

#ifdef _WIN32
#ifndef NOGDI
#define NOGDI // its ERROR macro would hide our log level
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h must come before the shell headers.
#include <windows.h>

#include <ntsecapi.h> // RtlGenRandom
#include <shellapi.h>
#include <shlobj.h>

// The separator the system's calls expect in a path; '/' is taken too.
constexpr char kPathSeparator = '\\';
#else
#include "platform/error_codes_posix.h"
#endif
