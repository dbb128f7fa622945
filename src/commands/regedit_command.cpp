#include "commands/commands.h"
#include "commands/registry_key.h"
#include "log/logger.h"
#include "platform/system_error.h"

#include <string>

namespace {

constexpr int kKeyNotOpenedStatus = 3;
constexpr int kValueNotWrittenStatus = 4;

std::string optionText(OptionParser& options, const char* name) {
    const char* value = options.getValue(name);
    return value != nullptr ? value : std::string();
}

// The system's texts end in CR LF (and a few hold more line breaks); a log
// line must stay one line, so the breaks become single spaces and the end is
// trimmed.
std::string asOneLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        } else {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

void logSystemError(LONG status) {
    Logger::instance()->log(ERROR, asOneLine(systemErrorText(static_cast<DWORD>(status))));
}

} // namespace

std::optional<int> regeditCommand(OptionParser& options) {
    const std::string rootName = optionText(options, "rootkey");
    const std::string subKey = optionText(options, "subkey");
    const std::string name = optionText(options, "key");
    const std::string value = optionText(options, "value");
    const std::string type = optionText(options, "type");
    const HKEY root = rootKeyFromName(rootName);
    Logger::instance()->log(INFO, "started regedit. rootkey: " + rootName + ", subkey: " + subKey + ", key: " + name +
                                      ", value: " + value + ", type: " + type);

    RegistryKey key;
    // A 32-bit copy on 64-bit Windows must still reach the 64-bit view.
    const REGSAM access = KEY_READ | KEY_WRITE | (isWow64() ? KEY_WOW64_64KEY : 0);
    LONG status = key.open(root, subKey, access);
    if (status != ERROR_SUCCESS) {
        logSystemError(status);
        key.close();
        return kKeyNotOpenedStatus;
    }

    if (type == "REG_DWORD") {
        status = key.setDWORDValue(name, dwordFromText(value));
    } else if (type == "REG_SZ") {
        status = key.setStringValue(name, value);
    } else {
        Logger::instance()->log(WARN, "value type not supported");
    }
    if (status != ERROR_SUCCESS) {
        logSystemError(status);
        key.close();
        return kValueNotWrittenStatus;
    }

    Logger::instance()->log(INFO, "regedit key: " + name + ", value: " + value + " done");
    key.close();
    return std::nullopt;
}
