#include "commands/extract/refusal_log.h"

#include <cstring>

namespace {

constexpr std::size_t linesPerKind = 100;
constexpr std::size_t bytesPerRun = 768 * 1024;
// What a line adds besides its message: level, process id, line end.
constexpr std::size_t lineFrame = 24;

} // namespace

void RefusalLog::refuse(const char* kind, const std::string& detail) {
    Kind* found = nullptr;
    for (Kind& known : kinds)
        if (std::strcmp(known.text, kind) == 0)
            found = &known;
    if (found == nullptr)
        found = &kinds.emplace_back(Kind{kind, 0, 0});
    const std::size_t size = std::strlen(kind) + detail.size() + lineFrame;
    if (found->written >= linesPerKind || bytes + size > bytesPerRun) {
        ++found->unnamed;
        return;
    }
    ++found->written;
    bytes += size;
    log.log(ERROR, kind + detail);
}

void RefusalLog::finish() {
    for (const Kind& kind : kinds) {
        if (kind.unnamed == 0)
            continue;
        // The kind without the ": " or " " that leads to its detail.
        std::string text = kind.text;
        while (!text.empty() && (text.back() == ' ' || text.back() == ':'))
            text.pop_back();
        log.log(ERROR, std::to_string(kind.unnamed) + " more entries not named one by one: " + text);
    }
}
