// The process-wide log writer. Every line goes to standard error and, once
// open, to the log file, as: level field (6 chars), "(", pid, ") ", message,
// line end. Nothing here ever throws or reports a failed write.
#pragma once

#include "platform/win32.h"

#include <string>

enum LogLevel { INFO = 0, WARN = 1, ERROR = 2 };

class Logger {
public:
    Logger();
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The one static instance; never null.
    static Logger* instance();

    // Opens the file for appending, shared with other processes (reading,
    // writing and deleting). A failure is silent and lines then go to
    // standard error alone; a second open keeps the file already open.
    void open(const std::string& path);

    void log(LogLevel level, const char* message);
    void log(LogLevel level, const std::string& message);

    // The whole line, with its line end (CR LF on Windows, where each LF of
    // the message becomes CR LF too, as text files were always written
    // there), in one WriteFile, so that lines of processes appending to the
    // same file never interleave. Takes no memory for a line of up to 1 KB,
    // so that running out of memory can still be logged. Failures are dropped.
    static void writeLine(HANDLE destination, LogLevel level, const char* message);

private:
    CRITICAL_SECTION lock;
    HANDLE file = INVALID_HANDLE_VALUE;
};
