// The process-wide log writer. Every line goes to standard error and, once
// open, to the log file, as: level field (6 chars), "(", pid, ") ", message,
// line end. Control characters in a message are written escaped, so no text
// a caller logs can end a line or add one. Nothing here ever throws or
// reports a failed write.
#pragma once

#include "platform/log_file.h"

#include <mutex>
#include <string>
#include <string_view>

enum LogLevel { INFO = 0, WARN = 1, ERROR = 2 };

class Logger {
public:
    Logger();
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // The one static instance; never null.
    static Logger* instance();

    // Opens the file `name` in `folder` for appending, shared with other
    // processes (reading, writing and deleting), a link at the name never
    // followed. A failure is silent and lines then go to standard error
    // alone; a second open keeps the file already open.
    void open(const FileUtils::HeldFolder& folder, const char* name);

    void log(LogLevel level, const char* message);
    void log(LogLevel level, const std::string& message);

    // The whole line, with its line end (CR LF on Windows, LF elsewhere), in
    // one system write, so that lines of processes appending to the same file
    // never interleave. The message's control characters (below 0x20, and
    // 0x7F) are written as \n, \r, \t or \xHH; every other byte as it is.
    // With `freshLine` a line end goes first, ending a line that an earlier
    // write left cut off. Takes no memory for a line of up to 1 KB, so that
    // running out of memory can still be logged. Returns false when the
    // system did not take the whole line.
    static bool writeLine(const Platform::LogFile& destination, LogLevel level, const char* message,
                          bool freshLine = false);

private:
    // Every process appending to the log takes its turn on one byte-range
    // lock far past any real end of the file, so that a process looking at
    // the file's last byte never sees another's line half-written. The wait
    // is bounded: a process holding the turn for longer (stopped, say) makes
    // this one write without turns from then on.
    bool takeTurn();
    void endTurn();

    std::mutex lock;
    Platform::LogFile file;
    // Whether to ask if the file ends inside a line (a write cut short by a
    // full disk, here or in an earlier process): before the first line and
    // again after a failed write.
    bool checkEnd = true;
    bool takeTurns = true;
};

// `text` as a log line shows it: control characters escaped as writeLine
// does. The result holds none, so escaping it again changes nothing.
std::string printableText(std::string_view text);
