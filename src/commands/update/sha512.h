// The SHA-512 digest that update feeds publish for an archive: read from its
// text, computed over the bytes written, and written back out.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

using Sha512Digest = std::array<unsigned char, 64>;

// Reads 128 hex digits (either case) or standard base64 (88 characters with
// its "==" padding, or the 86 before it). False for anything else.
bool parseSha512(const std::string& text, Sha512Digest& digest);
// Lower-case hex, and padded standard base64 as the feeds write it.
std::string sha512Hex(const Sha512Digest& digest);
std::string sha512Base64(const Sha512Digest& digest);

// One SHA-512 computation over bytes fed in order. On Windows it is CNG's,
// from bcrypt.dll loaded out of the system folder (sha512_win32.cpp);
// natively our own FIPS 180-4 code (sha512_posix.cpp), which needs no
// library and is always ready. A provider that cannot be had makes ready()
// false and the system's code is kept for the message. Throws std::bad_alloc
// when there is no memory for the computation's state.
class Sha512 {
public:
    Sha512();
    ~Sha512();
    Sha512(const Sha512&) = delete;
    Sha512& operator=(const Sha512&) = delete;

    bool ready() const { return state_ != nullptr; }
    // The system's code for the last refusal (a Win32 error or an NTSTATUS).
    long status() const { return status_; }
    // False once the provider has refused a step.
    bool add(const void* data, std::size_t size);
    // The digest of everything added; false when the provider refuses. Once
    // only: nothing may be added or finished after it.
    bool finish(Sha512Digest& digest);

private:
    struct State;
    std::unique_ptr<State> state_;
    long status_ = 0;
};
