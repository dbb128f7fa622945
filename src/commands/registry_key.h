// The registry edit command's key owner and its two look-ups. Every
// operation reports a Win32 status (0 = success, else the registry call's
// code) and none throws.
#pragma once

#include "platform/win32.h"

#include <string>

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey();
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key (never creates one). On success the key held
    // before is closed first; on failure the object is left as it was.
    LONG open(HKEY root, const std::string& subKey, REGSAM access);
    // REG_SZ: the text's bytes and one NUL. An empty name is the default value.
    LONG setStringValue(const std::string& name, const std::string& text);
    // REG_DWORD: the number's 4 bytes, little-endian.
    LONG setDWORDValue(const std::string& name, DWORD value);
    // Closes the held key, if any; closing a closed key does nothing.
    void close();

    bool isOpen() const { return handle != nullptr; }
    HKEY heldHandle() const { return handle; }
    // The WOW64 view bits of the access the held key was opened with.
    REGSAM heldView() const { return view; }

private:
    HKEY handle = nullptr;
    REGSAM view = 0;
};

// The predefined root for "HKCR", "HKCU", "HKLM", "HKU" or "HKCC", compared
// exactly; null for any other text.
HKEY rootKeyFromName(const std::string& name);

// The REG_DWORD data for a value text: a signed decimal reading clamped to
// 32 bits, as its two's-complement pattern ("-1" gives 0xFFFFFFFF,
// "4294967295" gives 0x7FFFFFFF, "0x10" and "" give 0).
DWORD dwordFromText(const std::string& text);

// True when this process runs under WOW64 (a 32-bit program on 64-bit
// Windows); false when the system has no such test.
bool isWow64();
