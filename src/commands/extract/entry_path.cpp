#include "commands/extract/entry_path.h"

#include <cstdint>

namespace {

// Code page 437 from 0x80 up; below that it is ASCII.
const char16_t cp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::size_t more;
        std::uint32_t point;
        if (byte < 0x80) {
            ++at;
            continue;
        } else if (byte >= 0xC2 && byte <= 0xDF) {
            more = 1;
            point = byte & 0x1Fu;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            more = 2;
            point = byte & 0x0Fu;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            more = 3;
            point = byte & 0x07u;
        } else {
            return false;
        }
        if (text.size() - at <= more)
            return false;
        for (std::size_t i = 1; i <= more; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3Fu);
        }
        if ((more == 2 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
            (more == 3 && (point < 0x10000 || point > 0x10FFFF)))
            return false;
        at += more + 1;
    }
    return true;
}

void appendUtf8(std::string& text, char16_t point) {
    if (point < 0x800) {
        text += static_cast<char>(0xC0 | point >> 6);
    } else {
        text += static_cast<char>(0xE0 | point >> 12);
        text += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    }
    text += static_cast<char>(0x80 | (point & 0x3F));
}

} // namespace

std::string decodedEntryName(const std::string& stored, bool flaggedUtf8) {
    if (flaggedUtf8 || isUtf8(stored))
        return stored;
    std::string text;
    text.reserve(stored.size() * 2);
    for (const char c : stored) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            text += c;
        else
            appendUtf8(text, cp437High[byte - 0x80]);
    }
    return text;
}

std::vector<std::string> entryLevels(const std::string& name) {
    std::vector<std::string> levels;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (end > start && name.compare(start, end - start, ".") != 0)
            levels.emplace_back(name, start, end - start);
        start = end + 1;
    }
    return levels;
}

std::string landingKey(const std::vector<std::string>& levels) {
    std::string key;
    for (const std::string& level : levels) {
        std::size_t end = level.size();
        while (end > 0 && (level[end - 1] == '.' || level[end - 1] == ' '))
            --end;
        key += '/';
        for (std::size_t i = 0; i < end; ++i)
            key += level[i] >= 'A' && level[i] <= 'Z' ? static_cast<char>(level[i] - 'A' + 'a') : level[i];
    }
    return key;
}
