#include "commands/commands.h"
#include "commands/registry_key.h"
#include "commands/registry_test_key.h"
#include "options/option_parser.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <vector>

namespace {

using Platform::RegistryKey;
using Platform::RegistryRoot;

const std::uint32_t kString = 1;
const std::uint32_t kNumber = 4;

TEST(RootKeyFromName, MapsTheFiveShortNamesExactly) {
    const struct {
        const char* name;
        RegistryRoot root;
    } cases[] = {
        {"HKCR", RegistryRoot::ClassesRoot},   {"HKCU", RegistryRoot::CurrentUser},
        {"HKLM", RegistryRoot::LocalMachine},  {"HKU", RegistryRoot::Users},
        {"HKCC", RegistryRoot::CurrentConfig},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rootKeyFromName(c.name), c.root) << c.name;
    for (const char* other : {"", "hkcu", "Hkcu", "HKEY_CURRENT_USER", " HKCU", "HKCU ", "HKCU\t", "HKPD", "HKC"})
        EXPECT_EQ(rootKeyFromName(other), RegistryRoot::Unknown) << '"' << other << '"';
}

TEST(DwordFromText, ReadsSignedDecimalClampedTo32Bits) {
    const struct {
        const char* text;
        std::uint32_t data;
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

TEST(RegistryKey, OpensOnlyAnExistingKeyBelowAKnownRoot) {
    TestKey test;
    const struct {
        RegistryRoot root;
        std::string subKey;
        Platform::ErrorCode code;
    } cases[] = {
        {RegistryRoot::CurrentUser, test.subKey(), 0},
        {RegistryRoot::CurrentUser, test.subKey() + "\\", 0},
        {RegistryRoot::CurrentUser, "", 0},
        {RegistryRoot::CurrentUser, test.subKey() + "\\missing", 2},
        {RegistryRoot::CurrentUser, test.subKey() + "\\missing\\deeper", 2},
        {RegistryRoot::Unknown, test.subKey(), 6},
    };
    for (const auto& c : cases) {
        RegistryKey key;
        EXPECT_EQ(key.open(c.root, c.subKey), c.code) << c.subKey;
        EXPECT_EQ(key.isOpen(), c.code == 0) << c.subKey;
    }
    EXPECT_EQ(test.read(""), std::nullopt); // opening wrote nothing
}

TEST(RegistryKey, AFailedOpenKeepsTheKeyHeldBefore) {
    TestKey test;
    RegistryKey key;
    EXPECT_EQ(key.setString("v", "x"), 6u);
    ASSERT_EQ(key.open(RegistryRoot::CurrentUser, test.subKey()), 0u);
    EXPECT_EQ(key.open(RegistryRoot::CurrentUser, test.subKey() + "\\missing"), 2u);
    ASSERT_TRUE(key.isOpen());
    EXPECT_EQ(key.setString("kept", "x"), 0u);
    EXPECT_EQ(test.read("kept"), (RegistryValue{kString, std::string("x", 2)}));
    key.close();
    EXPECT_FALSE(key.isOpen());
    EXPECT_EQ(key.setNumber("closed", 1), 6u);
    EXPECT_EQ(test.read("closed"), std::nullopt);
}

TEST(RegistryKey, WritesTheTypeAndBytesAndReplacesAValueWhole) {
    TestKey test;
    RegistryKey key;
    ASSERT_EQ(key.open(RegistryRoot::CurrentUser, test.subKey()), 0u);
    const struct {
        const char* name;
        bool number;
        std::string text;
        std::uint32_t value;
        RegistryValue stored;
        const char* storedAs; // an existing spelling is kept
    } steps[] = {
        {"v", false, "text", 0, {kString, std::string("text", 5)}, "v"},
        {"v", true, "", 0x80000001u, {kNumber, std::string("\x01\x00\x00\x80", 4)}, "v"},
        {"", false, "", 0, {kString, std::string(1, '\0')}, ""},
        {"V", false, "case", 0, {kString, std::string("case", 5)}, "v"},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.number ? key.setNumber(step.name, step.value) : key.setString(step.name, step.text), 0u)
            << step.name;
        EXPECT_EQ(test.read(step.storedAs), step.stored) << step.name;
    }
}

#ifndef _WIN32
TEST(RegistryStore, RefusesNamesItCannotHoldAndFollowsNoLink) {
    TestKey test;
    namespace fs = std::filesystem;
    fs::create_directories(test.folder() + "/inner");
    fs::create_directory_symlink(test.folder() + "/inner", test.folder() + "/link");
    const struct {
        std::string subKey;
        Platform::ErrorCode code;
    } opens[] = {
        {"\\" + test.subKey(), 161},    {test.subKey() + "\\inner\\..", 2}, {test.subKey() + "\\.", 2},
        {"Software/vantrell-tests", 2}, {test.subKey() + "\\link", 2},      {test.subKey() + "\\INNER", 0},
    };
    for (const auto& c : opens) {
        RegistryKey key;
        EXPECT_EQ(key.open(RegistryRoot::CurrentUser, c.subKey), c.code) << c.subKey;
    }

    RegistryKey key;
    ASSERT_EQ(key.open(RegistryRoot::CurrentUser, test.subKey()), 0u);
    for (const std::string& name :
         std::vector<std::string>{"(Default)", "(default)", "a/b", ".", "..", std::string(256, 'n')})
        EXPECT_EQ(key.setString(name, "x"), 87u) << name;
    EXPECT_EQ(key.setString(std::string(255, 'n'), "x"), 0u);

    // A link planted at the values folder is not written through.
    fs::remove_all(test.folder() + "/\\values");
    fs::create_directory_symlink(test.folder() + "/inner", test.folder() + "/\\values");
    EXPECT_NE(key.setString("v", "x"), 0u);
    EXPECT_TRUE(fs::is_empty(test.folder() + "/inner"));
    fs::remove(test.folder() + "/\\values");

    // The key's folder removed while it is open.
    fs::remove_all(test.folder());
    EXPECT_EQ(key.setString("v", "x"), 1018u);
    EXPECT_TRUE(
        fs::is_empty(fs::path(test.folder()).parent_path().parent_path().parent_path().parent_path() / ".writing"));
}
#endif

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

TEST(RegeditCommand, EndsWithItsStatus) {
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
    for (const auto& c : cases)
        EXPECT_EQ(runRegedit(c.arguments), c.status) << c.arguments[1] << " " << c.arguments.back();
    EXPECT_EQ(test.read("n"), (RegistryValue{kNumber, "\xFF\xFF\xFF\xFF"}));
}

} // namespace
