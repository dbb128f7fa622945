// Test program: another program that has a file open, as a quitting app or a
// virus scanner has, written against the Win32 calls (natively:
// hold_file_posix.cpp).
// Usage: hold_file PIDFILE MS [PATH SHARE [LOOK]]
// Opens PATH for reading, sharing what SHARE names (letters r, w, d:
// reading, writing, deleting; "-": nothing), writes its process id to PIDFILE
// (aside, then renamed, so a test may poll for it), waits MS milliseconds,
// copies what is then at PATH (by its name) into LOOK when given, and ends.
#include "platform/win32.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool writeWhole(const std::string& path, const std::string& data) {
    const std::string aside = path + ".part";
    const HANDLE file = CreateFileA(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) != FALSE;
    CloseHandle(file);
    return ok && MoveFileExA(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string readWhole(const char* path) {
    std::string data;
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return data;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        data.append(buffer, got);
    CloseHandle(file);
    return data;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5 && argc != 6)
        return 2;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (argc >= 5) {
        DWORD share = 0;
        share |= std::strchr(argv[4], 'r') ? FILE_SHARE_READ : 0u;
        share |= std::strchr(argv[4], 'w') ? FILE_SHARE_WRITE : 0u;
        share |= std::strchr(argv[4], 'd') ? FILE_SHARE_DELETE : 0u;
        held = CreateFileA(argv[3], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 3;
    }
    if (!writeWhole(argv[1], std::to_string(GetCurrentProcessId())))
        return 3;
    Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
    if (argc == 6 && !writeWhole(argv[5], readWhole(argv[3])))
        return 3;
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
