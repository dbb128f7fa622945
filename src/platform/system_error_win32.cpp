#include "platform/system_error.h"

#include "platform/win32.h"

std::string systemErrorText(Platform::ErrorCode code) {
    char* buffer = nullptr;
    // With ALLOCATE_BUFFER the buffer argument receives the address of a
    // buffer that the system allocates.
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0)
        return "FormatMessage fail";
    std::string text(buffer, length);
    LocalFree(buffer);
    return text;
}
