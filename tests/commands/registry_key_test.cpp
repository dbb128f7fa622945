#include "commands/commands.h"
#include "commands/registry_key.h"
#include "commands/registry_test_key.h"
#include "options/option_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

const REGSAM kAccess = KEY_READ | KEY_WRITE;

// RegCloseKey answers 6 for a handle that is no longer open.
bool isClosed(HKEY handle) { return RegCloseKey(handle) == ERROR_INVALID_HANDLE; }

TEST(RootKeyFromName, MapsTheFiveShortNamesExactly) {
    const struct {
        const char* name;
        HKEY root;
        std::uint32_t bits;
    } cases[] = {
        {"HKCR", HKEY_CLASSES_ROOT, 0x80000000u},   {"HKCU", HKEY_CURRENT_USER, 0x80000001u},
        {"HKLM", HKEY_LOCAL_MACHINE, 0x80000002u},  {"HKU", HKEY_USERS, 0x80000003u},
        {"HKCC", HKEY_CURRENT_CONFIG, 0x80000005u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rootKeyFromName(c.name), c.root) << c.name;
        // The predefined handles are 32-bit values sign-extended into the pointer.
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(c.root),
                  static_cast<std::intptr_t>(static_cast<std::int32_t>(c.bits)))
            << c.name;
    }
    for (const char* other : {"", "hkcu", "Hkcu", "HKEY_CURRENT_USER", " HKCU", "HKCU ", "HKCU\t", "HKPD", "HKC"})
        EXPECT_EQ(rootKeyFromName(other), nullptr) << '"' << other << '"';
}

TEST(DwordFromText, ReadsSignedDecimalClampedTo32Bits) {
    const struct {
        const char* text;
        DWORD data;
    } cases[] = {
        {"42", 0x2Au},
        {"  42", 0x2Au},
        {"\t42", 0x2Au},
        {"42abc", 0x2Au},
        {"+42", 0x2Au},
        {"0x10", 0u},
        {"abc", 0u},
        {"", 0u},
        {"-1", 0xFFFFFFFFu},
        {"2147483647", 0x7FFFFFFFu},
        {"2147483648", 0x7FFFFFFFu},
        {"4294967295", 0x7FFFFFFFu},
        {"-2147483648", 0x80000000u},
        {"-2147483649", 0x80000000u},
        {"-99999999999999999999", 0x80000000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dwordFromText(c.text), c.data) << '"' << c.text << '"';
}

TEST(IsWow64, IsFalseForThisBuild) {
    // Both builds are 64-bit programs: the 64-bit view is already theirs.
    EXPECT_FALSE(isWow64());
    EXPECT_FALSE(isWow64()); // looked up again on every call
}

TEST(RegistryKey, StartsClosedAndCloseOfAClosedKeyDoesNothing) {
    RegistryKey key;
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(key.heldView(), 0u);
    key.close();
    EXPECT_FALSE(key.isOpen());
}

TEST(RegistryKey, FailedOpenReportsTheCodeAndLeavesTheObjectAsItWas) {
    TestKey test;
    RegistryKey key;
    EXPECT_EQ(key.open(HKEY_CURRENT_USER, test.subKey() + "\\missing", kAccess), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(key.open(nullptr, test.subKey(), kAccess), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(key.isOpen());

    ASSERT_EQ(key.open(HKEY_CURRENT_USER, test.subKey(), kAccess | KEY_WOW64_64KEY), ERROR_SUCCESS);
    const HKEY held = key.heldHandle();
    EXPECT_EQ(key.open(HKEY_CURRENT_USER, test.subKey() + "\\missing", kAccess), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.heldHandle(), held);
    EXPECT_EQ(key.heldView(), static_cast<REGSAM>(KEY_WOW64_64KEY));
    // Still usable: the failed open did not close it.
    EXPECT_EQ(key.setStringValue("kept", "x"), ERROR_SUCCESS);
}

TEST(RegistryKey, OpenKeepsTheViewBitsAndClosesTheKeyHeldBefore) {
    TestKey test;
    RegistryKey key;
    ASSERT_EQ(key.open(HKEY_CURRENT_USER, test.subKey(), kAccess | KEY_WOW64_64KEY), ERROR_SUCCESS);
    EXPECT_EQ(key.heldView(), static_cast<REGSAM>(KEY_WOW64_64KEY));
    const HKEY first = key.heldHandle();

    ASSERT_EQ(key.open(HKEY_CURRENT_USER, test.subKey(), kAccess), ERROR_SUCCESS);
    EXPECT_EQ(key.heldView(), 0u);
    EXPECT_NE(key.heldHandle(), first);
    EXPECT_TRUE(isClosed(first));

    const HKEY second = key.heldHandle();
    key.close();
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(key.heldView(), 0u);
    EXPECT_TRUE(isClosed(second));
}

TEST(RegistryKey, DestructionClosesTheKey) {
    TestKey test;
    HKEY held = nullptr;
    {
        RegistryKey key;
        ASSERT_EQ(key.open(HKEY_CURRENT_USER, test.subKey(), kAccess), ERROR_SUCCESS);
        held = key.heldHandle();
    }
    EXPECT_TRUE(isClosed(held));
}

TEST(RegistryKey, WritesToAClosedKeyFailWithAnInvalidHandle) {
    RegistryKey key;
    EXPECT_EQ(key.setStringValue("name", "text"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.setDWORDValue("name", 1), ERROR_INVALID_HANDLE);
}

// Runs the command on a parsed command line ("helper" in front).
std::optional<int> runRegedit(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "helper");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    OptionParser options;
    for (const char* name : {"rootkey", "subkey", "key", "value", "type"})
        options.addOption(name);
    options.parse(static_cast<int>(argv.size()), argv.data());
    return regeditCommand(options);
}

TEST(RegeditCommand, EndsWithItsStatusAndReleasesTheKeyOnEveryPath) {
    TestKey test;
    const std::string tooLong(16384, 'n');
    const struct {
        std::vector<std::string> arguments;
        std::optional<int> status;
    } cases[] = {
        {{"--rootkey", "hkcu", "--subkey", test.subKey(), "--type", "REG_SZ"}, 3},
        {{"--rootkey", "HKCU", "--subkey", test.subKey() + "\\missing", "--type", "REG_SZ"}, 3},
        {{"--rootkey", "HKCU", "--subkey", test.subKey(), "--key", tooLong, "--type", "REG_SZ"}, 4},
        {{"--rootkey", "HKCU", "--subkey", test.subKey(), "--key", "n", "--type", "REG_BINARY"}, std::nullopt},
        {{"--rootkey", "HKCU", "--subkey", test.subKey(), "--key", "n", "--value", "-1", "--type", "REG_DWORD"},
         std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runRegedit(c.arguments), c.status) << c.arguments[1] << " " << c.arguments.back();
#ifndef _WIN32
        // Wine counts no handles (GetProcessHandleCount gives 0); the stand-in does.
        EXPECT_EQ(standinOpenKeyCount(), 0);
#endif
    }
    EXPECT_EQ(test.read("n"), (RegistryValue{REG_DWORD, "\xFF\xFF\xFF\xFF"}));
}

} // namespace
