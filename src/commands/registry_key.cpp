#include "commands/registry_key.h"

#include "commands/decimal_text.h"

using Platform::RegistryRoot;

RegistryRoot rootKeyFromName(const std::string& name) {
    static const struct {
        const char* name;
        RegistryRoot root;
    } roots[] = {
        {"HKCR", RegistryRoot::ClassesRoot},   {"HKCU", RegistryRoot::CurrentUser},
        {"HKLM", RegistryRoot::LocalMachine},  {"HKU", RegistryRoot::Users},
        {"HKCC", RegistryRoot::CurrentConfig},
    };
    for (const auto& root : roots)
        if (name == root.name)
            return root.root;
    return RegistryRoot::Unknown;
}

std::uint32_t dwordFromText(const std::string& text) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(readSignedDecimal(text.c_str(), INT32_MIN, INT32_MAX)));
}
