// POSIX stand-in for the system message table: a sentence of our own for
// each Win32 code this helper and its stand-in layer produce, each ending in
// CR LF as the system's texts do. Codes without a text fail the way
// FormatMessageA does, so callers see the same "no text" path.
#include "posix/win32_standin.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Message {
    DWORD code;
    const char* text;
};

const Message messages[] = {
    {0, "The operation succeeded.\r\n"},
    {1, "The function is not supported.\r\n"},
    {2, "The file does not exist.\r\n"},
    {3, "The path does not exist.\r\n"},
    {4, "Too many files are open.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is not valid.\r\n"},
    {8, "There is not enough memory for this operation.\r\n"},
    {13, "The data is not valid.\r\n"},
    {17, "The file cannot be moved to another disk.\r\n"},
    {31, "A device attached to the system is not working.\r\n"},
    {32, "The file is in use by another process.\r\n"},
    {39, "The disk is full.\r\n"},
    {80, "The file already exists.\r\n"},
    {87, "The parameter is not valid.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The buffer is too small for the data.\r\n"},
    {123, "The file, folder or volume name is not valid.\r\n"},
    {126, "The module was not found.\r\n"},
    {127, "The procedure was not found.\r\n"},
    {145, "The folder is not empty.\r\n"},
    {161, "The path is not valid.\r\n"},
    {183, "A file with that name already exists.\r\n"},
    {193, "The file is not a valid program.\r\n"},
    {206, "The file name or extension is too long.\r\n"},
    {267, "The folder name is not valid.\r\n"},
    {317, "There is no message text for this code.\r\n"},
    {740, "The operation requires elevation.\r\n"},
    {1010, "The registry key is not valid.\r\n"},
    {1018, "The registry key has been marked for deletion.\r\n"},
    {1223, "The operation was cancelled by the user.\r\n"},
    {1920, "The file cannot be accessed by the system.\r\n"},
};

const char* findMessage(DWORD code) {
    for (const Message& message : messages)
        if (message.code == code)
            return message.text;
    return nullptr;
}

} // namespace

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId, DWORD /*languageId*/, LPSTR buffer, DWORD size,
                     va_list* /*arguments*/) {
    // Only the system table is here; there are no inserts to expand.
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* text = findMessage(messageId);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::size_t length = std::strlen(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // `buffer` really points to the caller's pointer; `size` is a minimum.
        const std::size_t bytes = (length + 1 > size ? length + 1 : size);
        auto* copy = static_cast<char*>(std::malloc(bytes));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text, length + 1);
        *reinterpret_cast<char**>(buffer) = copy;
    } else {
        if (length + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
