// The registry value the helper writes: one existing key below one of the
// five predefined roots, and a REG_SZ or REG_DWORD value set in it. On
// Windows it is the system's registry (the 64-bit view, from a 32-bit copy
// too); natively it is the store of folders and files below the per-user data
// folder that the README describes. No call throws; each returns 0 on
// success, else the system's code, as the log shows it.
#pragma once

#include "platform/error_code.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

// Unknown stands for any name that is none of the five roots.
enum class RegistryRoot { Unknown, ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

class RegistryKey {
public:
    RegistryKey();
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens the existing key `subKey` (backslash-separated; "" is the root
    // itself) for setting values, never creating one: 0; 2 when the key is
    // missing; 6 for an Unknown root; else the system's code. On success the
    // key held before is closed; on failure the object is left as it was.
    ErrorCode open(RegistryRoot root, const std::string& subKey);
    // REG_SZ, the text's bytes and one NUL, under `name` ("" names the
    // default value): 0; 6 when no key is open; else the system's code
    // (natively 87 for a name the store cannot hold, 1018 when the key's
    // folder went away while it was open).
    ErrorCode setString(const std::string& name, const std::string& text) {
        return setValue(name, kStringType, std::string(text.c_str(), text.size() + 1));
    }
    // REG_DWORD, the number's 4 bytes little-endian; results as setString.
    ErrorCode setNumber(const std::string& name, std::uint32_t value) {
        const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                               static_cast<char>(value >> 24)};
        return setValue(name, kNumberType, std::string(bytes, sizeof bytes));
    }
    // Closes the held key, if any; closing a closed key does nothing.
    void close();
    bool isOpen() const { return open_ != nullptr; }

private:
    // The registry's own type numbers (REG_SZ, REG_DWORD).
    static constexpr std::uint32_t kStringType = 1;
    static constexpr std::uint32_t kNumberType = 4;

    // Sets the value `name` to `type` and `data`, replacing any value of that
    // name whole; results as setString.
    ErrorCode setValue(const std::string& name, std::uint32_t type, const std::string& data);

    struct Open; // the open key, in each implementation's own terms
    std::unique_ptr<Open> open_;
};

} // namespace Platform
