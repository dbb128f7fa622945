#include "log/logger.h"

#include <cstring>
#include <iostream>

namespace {
// Constructed before the entry routine and destroyed at normal process end,
// which closes the file.
Logger theLogger;

const char *levelField(LogLevel level) {
    switch (level) {
    case INFO:
        return "INFO  ";
    case WARN:
        return "WARN  ";
    default:
        return "ERROR ";
    }
}
} // namespace

Logger::Logger() { InitializeCriticalSection(&lock); }

Logger::~Logger() {
    file.close();
    DeleteCriticalSection(&lock);
}

Logger *Logger::instance() { return &theLogger; }

void Logger::open(const std::string &path) {
    EnterCriticalSection(&lock);
    // Default protection of the runtime's streams is deny-none on Windows.
    file.open(path, std::ios::out | std::ios::app);
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const char *message) {
    EnterCriticalSection(&lock);
    writeLine(std::cerr, level, message);
    if (file.is_open())
        writeLine(file, level, message);
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const std::string &message) { log(level, message.c_str()); }

void Logger::writeLine(std::ostream &stream, LogLevel level, const char *message) {
    std::string line;
    line.reserve(32 + std::strlen(message));
    line += levelField(level);
    line += '(';
    line += std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
    line += ") ";
    line += message;
    line += '\n';
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
}
