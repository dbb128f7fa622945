#pragma once

#include <cstdint>

// Reads a signed decimal number the way the C library's strtoll does:
// leading white space, one optional sign, digits up to the first other
// character; no digits give 0. The result is clamped to [lowest, highest].
std::int64_t readSignedDecimal(const char* text, std::int64_t lowest, std::int64_t highest);
