// Feeds arbitrary command lines to the option parser with the helper's own
// option table; NUL bytes separate the arguments.
#include "options/option_parser.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"helper.exe"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    words.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    argv.push_back(nullptr);

    static const char* const flags[] = {"sleep", "elevate", "update", "regedit", "extract", "launch"};
    static const char* const valued[] = {"ms",    "wait", "appAsar", "updateAsar", "rootkey", "subkey", "key",
                                         "value", "type", "zip",     "out",        "program", "args"};
    OptionParser parser;
    for (const char* f : flags)
        parser.addFlag(f);
    for (const char* v : valued)
        parser.addOption(v);
    parser.parse(static_cast<int>(argv.size() - 1), argv.data());

    for (const char* f : flags) {
        const char* value = parser.getValue(f);
        // A flag holds "true" or nothing.
        if (value != nullptr && std::strcmp(value, "true") != 0)
            __builtin_trap();
        if (parser.getFlag(f) != (value != nullptr))
            __builtin_trap();
    }
    for (const char* v : valued) {
        const char* value = parser.getValue(v);
        if (value != nullptr)
            (void)std::strlen(value);
    }
    return 0;
}
