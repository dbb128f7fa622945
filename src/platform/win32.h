// The one place that decides where the Win32 API comes from: the real
// headers on Windows, our POSIX stand-in everywhere else. Everything above
// this layer is written once against the ANSI Win32 calls.
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
#include "posix/win32_standin.h"
#endif
