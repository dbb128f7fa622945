#include "commands/entry_name.h"

#include "log/logger.h"

#include <cstring>
#include <string_view>

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoringCase(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (asciiUpper(text[i]) != upper[i])
            return false;
    return true;
}

std::string_view withoutTrailing(std::string_view text, const char* characters) {
    const std::size_t last = text.find_last_not_of(characters);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

// Windows maps these names to devices in any folder, whatever follows the
// first dot, and ignores blanks before that dot.
bool isDeviceName(std::string_view component) {
    const std::string_view base = withoutTrailing(component.substr(0, component.find('.')), " ");
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (equalsIgnoringCase(base, device))
            return true;
    if (base.size() < 4 ||
        !(equalsIgnoringCase(base.substr(0, 3), "COM") || equalsIgnoringCase(base.substr(0, 3), "LPT")))
        return false;
    const std::string_view number = base.substr(3);
    // A digit, or a superscript one, two or three (code page 1252 or UTF-8).
    if (number.size() == 1)
        return (number[0] >= '0' && number[0] <= '9') || number == "\xB9" || number == "\xB2" || number == "\xB3";
    return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool isConfinedComponent(std::string_view component) {
    if (component.empty() || component == ".")
        return true; // a doubled separator or "." stays where it is
    // Windows drops trailing dots and blanks, so "..." and ".. " climb too.
    const std::string_view kept = withoutTrailing(component, ". ");
    return !kept.empty() && !isDeviceName(kept);
}

} // namespace

bool isConfinedEntryName(const char* name) {
    const std::string_view text(name);
    if (text.empty() || isSeparator(text[0]) || text.find(':') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        if (!isConfinedComponent(text.substr(start, end - start)))
            return false;
        if (end == text.size())
            return true;
        start = end + 1;
    }
}

std::string printableEntryName(std::string_view name) { return printableText(name); }
