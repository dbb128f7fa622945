// Test program for the Windows build: prints the type and the exact bytes of
// one registry value as "<type> <hex bytes>", or "error <code>".
// Usage: regread ROOT SUBKEY NAME (ROOT: HKCR, HKCU, HKLM, HKU or HKCC;
// an empty NAME is the default value).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: regread ROOT SUBKEY NAME\n");
        return 2;
    }
    const struct {
        const char* name;
        HKEY root;
    } roots[] = {{"HKCR", HKEY_CLASSES_ROOT},
                 {"HKCU", HKEY_CURRENT_USER},
                 {"HKLM", HKEY_LOCAL_MACHINE},
                 {"HKU", HKEY_USERS},
                 {"HKCC", HKEY_CURRENT_CONFIG}};
    HKEY root = nullptr;
    for (const auto& r : roots)
        if (std::strcmp(argv[1], r.name) == 0)
            root = r.root;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, argv[2], 0, KEY_QUERY_VALUE, &key);
    DWORD type = 0;
    DWORD size = 0;
    std::vector<BYTE> data;
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExA(key, argv[3], nullptr, &type, nullptr, &size);
        if (status == ERROR_SUCCESS) {
            data.resize(size + 1);
            status = RegQueryValueExA(key, argv[3], nullptr, &type, data.data(), &size);
        }
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        std::printf("error %ld\n", static_cast<long>(status));
        return 1;
    }
    std::printf("%lu ", static_cast<unsigned long>(type));
    for (DWORD i = 0; i < size; ++i)
        std::printf("%02x", data[i]);
    std::printf("\n");
    return 0;
}
