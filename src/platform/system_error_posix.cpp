// Natively the system has no table of texts for Windows' codes: a sentence
// of our own for each code this helper reports, each ending in CR LF as the
// system's texts do.
#include "platform/system_error.h"

namespace {

struct Message {
    Platform::ErrorCode code;
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
    {1921, "The name of the file cannot be resolved by the system.\r\n"},
};

const char* findMessage(Platform::ErrorCode code) {
    for (const Message& message : messages)
        if (message.code == code)
            return message.text;
    return nullptr;
}

} // namespace

std::string systemErrorText(Platform::ErrorCode code) {
    const char* text = findMessage(code);
    return text == nullptr ? "FormatMessage fail" : text;
}
