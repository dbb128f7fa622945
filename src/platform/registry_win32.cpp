// The registry value on Windows: the system's registry through the ANSI
// registry calls.
#include "platform/registry.h"

#include "platform/win32.h"

static_assert(REG_SZ == 1 && REG_DWORD == 4, "the registry's own type numbers");

namespace Platform {

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

// True under WOW64 (a 32-bit copy on 64-bit Windows). Looked up on every
// call: older systems lack the function.
bool isWow64() {
    BOOL flag = FALSE;
    const HMODULE kernel32 = GetModuleHandleA("kernel32");
    // Through void (*)(): the one function type that converts without a warning.
    const auto isWow64Process = kernel32 == nullptr
                                    ? nullptr
                                    : reinterpret_cast<IsWow64ProcessFunction>(
                                          reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
    if (isWow64Process != nullptr)
        isWow64Process(GetCurrentProcess(), &flag);
    return flag != FALSE;
}

HKEY predefinedKey(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case RegistryRoot::CurrentUser:
        return HKEY_CURRENT_USER;
    case RegistryRoot::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    case RegistryRoot::Users:
        return HKEY_USERS;
    case RegistryRoot::CurrentConfig:
        return HKEY_CURRENT_CONFIG;
    case RegistryRoot::Unknown:
        break;
    }
    // The system answers a null key with 6, as for any handle that is none.
    return nullptr;
}

} // namespace

struct RegistryKey::Open {
    HKEY key = nullptr;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() { close(); }

ErrorCode RegistryKey::open(RegistryRoot root, const std::string& subKey) {
    auto opened = std::make_unique<Open>();
    // A 32-bit copy on 64-bit Windows must still reach the 64-bit view.
    const REGSAM access = KEY_READ | KEY_WRITE | (isWow64() ? KEY_WOW64_64KEY : 0);
    const LONG status = RegOpenKeyExA(predefinedKey(root), subKey.c_str(), 0, access, &opened->key);
    if (status != ERROR_SUCCESS)
        return static_cast<ErrorCode>(status);
    close();
    open_ = std::move(opened);
    return ERROR_SUCCESS;
}

ErrorCode RegistryKey::setValue(const std::string& name, std::uint32_t type, const std::string& data) {
    if (open_ == nullptr)
        return ERROR_INVALID_HANDLE;
    return static_cast<ErrorCode>(RegSetValueExA(open_->key, name.c_str(), 0, type,
                                                 reinterpret_cast<const BYTE*>(data.data()),
                                                 static_cast<DWORD>(data.size())));
}

void RegistryKey::close() {
    if (open_ == nullptr)
        return;
    RegCloseKey(open_->key);
    open_.reset();
}

} // namespace Platform
