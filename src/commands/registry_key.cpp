#include "commands/registry_key.h"

#include "commands/decimal_text.h"

#include <cstdint>

namespace {
const REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
// Looked up on every call: older systems lack the function.
IsWow64ProcessFunction isWow64Process = nullptr;
} // namespace

RegistryKey::~RegistryKey() { close(); }

LONG RegistryKey::open(HKEY root, const std::string& subKey, REGSAM access) {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(root, subKey.c_str(), 0, access, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    close();
    handle = opened;
    view = access & kViewBits;
    return ERROR_SUCCESS;
}

LONG RegistryKey::setStringValue(const std::string& name, const std::string& text) {
    return RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG RegistryKey::setDWORDValue(const std::string& name, DWORD value) {
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                           static_cast<BYTE>(value >> 24)};
    return RegSetValueExA(handle, name.c_str(), 0, REG_DWORD, bytes, sizeof bytes);
}

void RegistryKey::close() {
    if (handle == nullptr)
        return;
    RegCloseKey(handle);
    handle = nullptr;
    view = 0;
}

HKEY rootKeyFromName(const std::string& name) {
    static const struct {
        const char* name;
        HKEY root;
    } roots[] = {
        {"HKCR", HKEY_CLASSES_ROOT}, {"HKCU", HKEY_CURRENT_USER},   {"HKLM", HKEY_LOCAL_MACHINE},
        {"HKU", HKEY_USERS},         {"HKCC", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : roots)
        if (name == root.name)
            return root.root;
    return nullptr;
}

DWORD dwordFromText(const std::string& text) {
    return static_cast<DWORD>(static_cast<std::int32_t>(readSignedDecimal(text.c_str(), INT32_MIN, INT32_MAX)));
}

bool isWow64() {
    BOOL flag = FALSE;
    const HMODULE kernel32 = GetModuleHandleA("kernel32");
    // Through void (*)(): the one function type that converts without a warning.
    isWow64Process = kernel32 == nullptr ? nullptr
                                         : reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(
                                               GetProcAddress(kernel32, "IsWow64Process")));
    if (isWow64Process != nullptr)
        isWow64Process(GetCurrentProcess(), &flag);
    return flag != FALSE;
}
