#include "log/logger.h"

#include <cstring>
#include <memory>
#include <new>

namespace {
// Constructed before the entry routine and destroyed at normal process end,
// which closes the file.
Logger theLogger;

#ifdef _WIN32
const bool kCrLf = true;
#else
const bool kCrLf = false;
#endif

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

// Appends `text` to `out`, with each LF as CR LF where lines end so.
char* appendText(char* out, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (kCrLf && text[i] == '\n')
            *out++ = '\r';
        *out++ = text[i];
    }
    return out;
}
} // namespace

Logger::Logger() { InitializeCriticalSection(&lock); }

Logger::~Logger() {
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    DeleteCriticalSection(&lock);
}

Logger* Logger::instance() { return &theLogger; }

void Logger::open(const std::string& path) {
    EnterCriticalSection(&lock);
    // A second open keeps the first file; a failed one leaves none.
    if (file == INVALID_HANDLE_VALUE) {
        // Append only: every write goes to the end of the file as it is then,
        // also when another instance appends to it at the same time. A link
        // planted at the log's name is not followed, so an elevated run
        // never appends to a file the link points at.
        file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const char* message) {
    EnterCriticalSection(&lock);
    writeLine(GetStdHandle(STD_ERROR_HANDLE), level, message);
    if (file != INVALID_HANDLE_VALUE)
        writeLine(file, level, message);
    LeaveCriticalSection(&lock);
}

void Logger::log(LogLevel level, const std::string& message) { log(level, message.c_str()); }

void Logger::writeLine(HANDLE destination, LogLevel level, const char* message) {
    // A windowless process may have no standard error at all.
    if (destination == nullptr || destination == INVALID_HANDLE_VALUE)
        return;
    char pid[16];
    std::size_t pidLength = 0;
    for (DWORD id = GetCurrentProcessId(); pidLength == 0 || id != 0; id /= 10)
        pid[pidLength++] = static_cast<char>('0' + id % 10);
    const std::size_t messageLength = std::strlen(message);
    std::size_t lineFeeds = 0;
    if (kCrLf)
        for (const char* p = message; (p = std::strchr(p, '\n')) != nullptr; ++p)
            ++lineFeeds;
    const std::size_t length = 6 + 1 + pidLength + 2 + messageLength + lineFeeds + (kCrLf ? 2 : 1);

    char small[1024];
    std::unique_ptr<char[]> large;
    char* line = small;
    if (length > sizeof small) {
        large.reset(new (std::nothrow) char[length]);
        if (large == nullptr)
            return; // no memory for this line; the next one may fit
        line = large.get();
    }
    char* out = line;
    out = appendText(out, levelField(level), 6);
    *out++ = '(';
    while (pidLength > 0)
        *out++ = pid[--pidLength];
    out = appendText(out, ") ", 2);
    out = appendText(out, message, messageLength);
    out = appendText(out, "\n", 1);
    DWORD written = 0;
    WriteFile(destination, line, static_cast<DWORD>(out - line), &written, nullptr);
}
