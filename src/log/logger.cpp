#include "log/logger.h"

#include <cstring>

namespace {
// Constructed before the entry routine and destroyed at normal process end,
// which closes the file.
Logger theLogger;

const char* levelField(LogLevel level) {
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
    if (file != nullptr)
        std::fclose(file);
    DeleteCriticalSection(&lock);
}

Logger* Logger::instance() { return &theLogger; }

void Logger::open(const std::string& path) {
    EnterCriticalSection(&lock);
    // A second open keeps the first file; a failed one leaves none.
    if (file == nullptr) {
        // Append, text mode, shared: another instance may write it at once.
        file = _fsopen(path.c_str(), "a", _SH_DENYNO);
        // Unbuffered: each line then reaches the system in one write.
        if (file != nullptr)
            std::setvbuf(file, nullptr, _IONBF, 0);
    }
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const char* message) {
    EnterCriticalSection(&lock);
    writeLine(stderr, level, message);
    if (file != nullptr)
        writeLine(file, level, message);
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const std::string& message) { log(level, message.c_str()); }

void Logger::writeLine(std::FILE* stream, LogLevel level, const char* message) {
    std::string line;
    line.reserve(32 + std::strlen(message));
    line += levelField(level);
    line += '(';
    line += std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
    line += ") ";
    line += message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}
