// The process-wide log writer. Every line goes to standard error and, once
// open, to the log file, as: level field (6 chars), "(", pid, ") ", message,
// line end. Nothing here ever throws or reports a failed write.
#pragma once

#include "platform/win32.h"

#include <cstdio>
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

    // Opens the file for appending, shared with other processes. A failure
    // is silent and lines then go to standard error alone; a second open
    // keeps the file already open.
    void open(const std::string& path);

    void log(LogLevel level, const char* message);
    void log(LogLevel level, const std::string& message);

    // One whole line in one write, then a flush, so that lines of processes
    // appending to the same file never interleave. Failures are dropped.
    static void writeLine(std::FILE* stream, LogLevel level, const char* message);

private:
    CRITICAL_SECTION lock;
    std::FILE* file = nullptr;
};
