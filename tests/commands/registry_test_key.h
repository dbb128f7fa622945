// A fresh, empty key below HKEY_CURRENT_USER for one test: a real key in the
// Windows build (under Wine), a folder of a private store natively.
#pragma once

#ifdef _WIN32
#include "platform/win32.h"
#endif
#include "test_support.h"

#include <cstdint>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>

struct RegistryValue {
    std::uint32_t type;
    std::string data;
    bool operator==(const RegistryValue& other) const { return type == other.type && data == other.data; }
};

class TestKey {
public:
    TestKey() {
        std::random_device seed;
        name_ = "vantrell-test-" + std::to_string(seed());
        subKey_ = "Software\\vantrell-tests\\" + name_;
#ifdef _WIN32
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS)
            RegCloseKey(key);
#else
        // The store lives below the per-user data folder: point that at the
        // scratch folder for the test's lifetime.
        const char* old = std::getenv("XDG_DATA_HOME");
        oldDataHome_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_DATA_HOME", scratch_.path("appdata").c_str(), 1);
        std::filesystem::create_directories(folder());
#endif
    }

    ~TestKey() {
#ifdef _WIN32
        RegDeleteTreeA(HKEY_CURRENT_USER, subKey_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\vantrell-tests"); // only goes when empty
#else
        if (oldDataHome_)
            ::setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
#endif
    }

    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    // The key's path below HKEY_CURRENT_USER.
    const std::string& subKey() const { return subKey_; }

    // Type and data of a value ("" is the default value); empty when absent.
    std::optional<RegistryValue> read(const std::string& valueName) const {
#ifdef _WIN32
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD type = 0;
        DWORD size = 0;
        std::optional<RegistryValue> value;
        if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::string data(size, '\0');
            if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) ==
                ERROR_SUCCESS)
                value = RegistryValue{type, data.substr(0, size)};
        }
        RegCloseKey(key);
        return value;
#else
        const std::string path = folder() + "/\\values/" + (valueName.empty() ? "(Default)" : valueName);
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error))
            return std::nullopt;
        const std::string bytes = readFile(path);
        if (bytes.size() < 4)
            return RegistryValue{0xFFFFFFFFu, bytes};
        std::uint32_t type = 0;
        for (int i = 3; i >= 0; --i)
            type = (type << 8) | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
        return RegistryValue{type, bytes.substr(4)};
#endif
    }

#ifndef _WIN32
    // The key's folder in the store.
    std::string folder() const {
        return scratch_.path("appdata/vantrell/registry/HKCU/Software/vantrell-tests/" + name_);
    }
#endif

private:
    std::string name_;
    std::string subKey_;
#ifndef _WIN32
    ScratchFolder scratch_;
    std::optional<std::string> oldDataHome_;
#endif
};
