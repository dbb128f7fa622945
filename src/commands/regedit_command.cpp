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

void logSystemError(Platform::ErrorCode status) { Logger::instance()->log(ERROR, asOneLine(systemErrorText(status))); }

} // namespace

std::optional<int> regeditCommand(OptionParser& options) {
    const std::string rootName = optionText(options, "rootkey");
    const std::string subKey = optionText(options, "subkey");
    const std::string name = optionText(options, "key");
    const std::string value = optionText(options, "value");
    const std::string type = optionText(options, "type");
    Logger::instance()->log(INFO, "started regedit. rootkey: " + rootName + ", subkey: " + subKey + ", key: " + name +
                                      ", value: " + value + ", type: " + type);

    Platform::RegistryKey key;
    Platform::ErrorCode status = key.open(rootKeyFromName(rootName), subKey);
    if (status != 0) {
        logSystemError(status);
        return kKeyNotOpenedStatus;
    }

    if (type == "REG_DWORD") {
        status = key.setNumber(name, dwordFromText(value));
    } else if (type == "REG_SZ") {
        status = key.setString(name, value);
    } else {
        Logger::instance()->log(WARN, "value type not supported");
    }
    if (status != 0) {
        logSystemError(status);
        return kValueNotWrittenStatus;
    }

    Logger::instance()->log(INFO, "regedit key: " + name + ", value: " + value + " done");
    return std::nullopt;
}
