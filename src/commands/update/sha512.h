// The SHA-512 digest that update feeds publish for an archive: read from its
// text, computed by the system's own hash provider, and written back out.
#pragma once

#include <array>
#include <cstddef>
#include <string>

using Sha512Digest = std::array<unsigned char, 64>;

// Reads 128 hex digits (either case) or standard base64 (88 characters with
// its "==" padding, or the 86 before it). False for anything else.
bool parseSha512(const std::string& text, Sha512Digest& digest);
// Lower-case hex, and padded standard base64 as the feeds write it.
std::string sha512Hex(const Sha512Digest& digest);
std::string sha512Base64(const Sha512Digest& digest);

// One SHA-512 computation over bytes fed in order (Windows' CNG; natively
// the stand-in's same calls). A provider that cannot be had makes ready()
// false and the system's status is kept for the message.
class Sha512 {
public:
    Sha512();
    ~Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;

    bool ready() const { return hash_ != nullptr; }
    long status() const { return status_; }
    // False once the provider has refused a step.
    bool add(const void* data, std::size_t size);
    // The digest of everything added; false when the provider refuses.
    bool finish(Sha512Digest& digest);

private:
    void* algorithm_ = nullptr;
    void* hash_ = nullptr;
    long status_ = 0;
};
