#include "log/logger.h"

#include "platform/clock.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <thread>

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

bool isControl(char c) {
    const auto octet = static_cast<unsigned char>(c);
    return octet < 0x20 || octet == 0x7F;
}

// The length of the UTF-8 form of a C1 control (U+0080 to U+009F), NEL
// (U+0085, one of them) or a line or paragraph separator (U+2028, U+2029)
// at `text`, 0 for anything else: tools split lines at them and terminals
// act on them. Only well-formed sequences count; other bytes are a path's
// own and stay as they are.
std::size_t unicodeBreakAt(const char* text, std::size_t left) {
    const auto at = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (left >= 2 && at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F)
        return 2;
    if (left >= 3 && at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9))
        return 3;
    return 0;
}

// How many bytes `text` takes once escaped.
std::size_t escapedLength(const char* text, std::size_t length) {
    std::size_t escaped = length;
    for (std::size_t i = 0; i < length; ++i) {
        if (isControl(text[i])) {
            escaped += text[i] == '\n' || text[i] == '\r' || text[i] == '\t' ? 1 : 3;
        } else if (const std::size_t size = unicodeBreakAt(text + i, length - i)) {
            escaped += 6 - size; // \uHHHH
            i += size - 1;
        }
    }
    return escaped;
}

// Appends `text` to `out` with every control character as \n, \r, \t or
// \xHH, and every C1 control or Unicode line break as \uHHHH, so that
// nothing in it can end the line or drive a terminal.
char* appendEscaped(char* out, const char* text, std::size_t length) {
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (const std::size_t size = unicodeBreakAt(text + i, length - i)) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            const unsigned code =
                size == 2 ? second : 0x2000u | static_cast<unsigned>(static_cast<unsigned char>(text[i + 2]) & 0x3F);
            *out++ = '\\';
            *out++ = 'u';
            for (int shift = 12; shift >= 0; shift -= 4)
                *out++ = hex[(code >> shift) & 0x0F];
            i += size - 1;
            continue;
        }
        if (!isControl(c)) {
            *out++ = c;
            continue;
        }
        *out++ = '\\';
        if (c == '\n') {
            *out++ = 'n';
        } else if (c == '\r') {
            *out++ = 'r';
        } else if (c == '\t') {
            *out++ = 't';
        } else {
            const auto octet = static_cast<unsigned char>(c);
            *out++ = 'x';
            *out++ = hex[octet >> 4];
            *out++ = hex[octet & 0x0F];
        }
    }
    return out;
}

char* appendLineEnd(char* out) {
    if (kCrLf)
        *out++ = '\r';
    *out++ = '\n';
    return out;
}

const std::size_t kLineEndLength = kCrLf ? 2 : 1;

// One line composed once for every destination, behind room for the line end
// that ends a cut line first, so that writing it is a single call. Takes no
// memory for a line of up to 1 KB, so that running out of memory can still
// be logged.
class ComposedLine {
public:
    ComposedLine(LogLevel level, const char* message) {
        char pid[16];
        std::size_t pidLength = 0;
        for (unsigned long id = Platform::currentProcessId(); pidLength == 0 || id != 0; id /= 10)
            pid[pidLength++] = static_cast<char>('0' + id % 10);
        const std::size_t messageLength = std::strlen(message);
        const std::size_t length =
            kLineEndLength + 6 + 1 + pidLength + 2 + escapedLength(message, messageLength) + kLineEndLength;
        if (length > sizeof small) {
            large.reset(new (std::nothrow) char[length]);
            if (large == nullptr)
                return; // no memory for this line; the next one may fit
            text = large.get();
        }
        char* out = appendLineEnd(text);
        std::memcpy(out, levelField(level), 6);
        out += 6;
        *out++ = '(';
        while (pidLength > 0)
            *out++ = pid[--pidLength];
        *out++ = ')';
        *out++ = ' ';
        out = appendEscaped(out, message, messageLength);
        out = appendLineEnd(out);
        size = static_cast<std::size_t>(out - text);
    }
    ComposedLine(const ComposedLine&) = delete;
    ComposedLine& operator=(const ComposedLine&) = delete;

    // False when the line could not be composed or the system did not take
    // all of it.
    bool writeTo(const Platform::LogFile& destination, bool freshLine) const {
        if (size == 0 || !destination.isOpen())
            return false;
        const std::size_t skip = freshLine ? 0 : kLineEndLength;
        return destination.append(text + skip, size - skip);
    }

private:
    char small[1024];
    std::unique_ptr<char[]> large;
    char* text = small;
    std::size_t size = 0;
};
} // namespace

Logger::Logger() = default;

Logger::~Logger() = default;

Logger* Logger::instance() { return &theLogger; }

void Logger::open(const FileUtils::HeldFolder& folder, const char* name) {
    const std::lock_guard<std::mutex> guard(lock);
    // A second open keeps the first file; a failed one leaves none.
    if (!file.isOpen() && file.open(folder, name))
        checkEnd = true;
}

namespace {
const int kTurnAttempts = 200;
} // namespace

bool Logger::takeTurn() {
    for (int attempt = 0; takeTurns && attempt < kTurnAttempts; ++attempt) {
        const Platform::LogFile::Turn turn = file.tryTurn();
        if (turn == Platform::LogFile::Turn::Taken)
            return true;
        if (turn == Platform::LogFile::Turn::Failed)
            break;
        if (attempt < 20)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    takeTurns = false;
    return false;
}

void Logger::endTurn() { file.endTurn(); }

void Logger::log(LogLevel level, const char* message) {
    const std::lock_guard<std::mutex> guard(lock);
    const ComposedLine line(level, message);
    line.writeTo(Platform::LogFile::standardError(), false);
    if (file.isOpen()) {
        // A full disk may have cut the last line short, ours or an earlier
        // process's: this line then starts on a line of its own instead of
        // being glued to the cut one. The turn covers only the look and the
        // write, so that others seldom find it taken.
        const bool turn = takeTurn();
        const bool freshLine = checkEnd && file.endsMidLine();
        checkEnd = !line.writeTo(file, freshLine);
        if (turn)
            endTurn();
    }
}

void Logger::log(LogLevel level, const std::string& message) { log(level, message.c_str()); }

bool Logger::writeLine(const Platform::LogFile& destination, LogLevel level, const char* message, bool freshLine) {
    return ComposedLine(level, message).writeTo(destination, freshLine);
}

std::string printableText(std::string_view text) {
    std::string printable(escapedLength(text.data(), text.size()), '\0');
    appendEscaped(&printable[0], text.data(), text.size());
    return printable;
}
