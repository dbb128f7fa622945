#include "commands/decimal_text.h"

std::int64_t readSignedDecimal(const char* text, std::int64_t lowest, std::int64_t highest) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate the magnitude, saturating well above any bound we clamp to.
    const std::uint64_t limit = UINT64_C(1) << 63;
    std::uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (negative) {
        if (magnitude >= limit)
            return lowest;
        const std::int64_t value = -static_cast<std::int64_t>(magnitude);
        return value < lowest ? lowest : value;
    }
    if (magnitude >= limit || static_cast<std::int64_t>(magnitude) > highest)
        return highest;
    return static_cast<std::int64_t>(magnitude);
}
