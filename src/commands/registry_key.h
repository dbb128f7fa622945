// How the registry edit command reads its root and its REG_DWORD data.
#pragma once

#include "platform/registry.h"

#include <cstdint>
#include <string>

// The predefined root for "HKCR", "HKCU", "HKLM", "HKU" or "HKCC", compared
// exactly; Unknown for any other text.
Platform::RegistryRoot rootKeyFromName(const std::string& name);

// The REG_DWORD data for a value text: a signed decimal reading clamped to
// 32 bits, as its two's-complement pattern ("-1" gives 0xFFFFFFFF,
// "4294967295" gives 0x7FFFFFFF, "0x10" and "" give 0).
std::uint32_t dwordFromText(const std::string& text);
