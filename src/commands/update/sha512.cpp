// The digest's text forms; the computation itself is per platform.
#include "commands/update/sha512.h"

#include <algorithm>

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64Value(char c) {
    const char* at = std::find(kBase64, kBase64 + 64, c);
    return at == kBase64 + 64 ? -1 : static_cast<int>(at - kBase64);
}

bool parseHex(const std::string& text, Sha512Digest& digest) {
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

bool parseBase64(const std::string& text, Sha512Digest& digest) {
    // 64 bytes are 21 groups of three and one left over: 86 digits, of which
    // the last carries 2 bits and 4 that must be zero.
    unsigned long bits = 0;
    int held = 0;
    std::size_t out = 0;
    for (std::size_t i = 0; i < 86; ++i) {
        const int value = base64Value(text[i]);
        if (value < 0)
            return false;
        bits = (bits << 6 | static_cast<unsigned long>(value)) & 0xFFFFFF;
        held += 6;
        if (held >= 8) {
            held -= 8;
            digest[out++] = static_cast<unsigned char>(bits >> held);
        }
    }
    return out == digest.size() && (bits & ((1ul << held) - 1)) == 0;
}

} // namespace

bool parseSha512(const std::string& text, Sha512Digest& digest) {
    if (text.size() == 128)
        return parseHex(text, digest);
    if (text.size() == 88 && text.compare(86, 2, "==") != 0)
        return false;
    return (text.size() == 86 || text.size() == 88) && parseBase64(text, digest);
}

std::string sha512Hex(const Sha512Digest& digest) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char value : digest) {
        text += hex[value >> 4];
        text += hex[value & 0xF];
    }
    return text;
}

std::string sha512Base64(const Sha512Digest& digest) {
    std::string text;
    for (std::size_t i = 0; i < digest.size(); i += 3) {
        const std::size_t left = digest.size() - i;
        const unsigned long group = static_cast<unsigned long>(digest[i]) << 16 |
                                    (left > 1 ? static_cast<unsigned long>(digest[i + 1]) << 8 : 0) |
                                    (left > 2 ? digest[i + 2] : 0);
        text += kBase64[group >> 18 & 63];
        text += kBase64[group >> 12 & 63];
        text += left > 1 ? kBase64[group >> 6 & 63] : '=';
        text += left > 2 ? kBase64[group & 63] : '=';
    }
    return text;
}
