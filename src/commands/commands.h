// The commands, in the order the dispatcher runs them. A command that can
// end the run returns the exit status to end it with; an empty result lets
// the dispatch go on.
#pragma once

#include "options/option_parser.h"

#include <optional>

// Waits --ms milliseconds; ends the run with 1 when --ms is missing.
std::optional<int> sleepCommand(OptionParser& options);

// Writes --value as --type (REG_SZ or REG_DWORD) into the value --key of the
// existing key --subkey under --rootkey. Ends the run with 3 when the key
// cannot be opened, 4 when the value cannot be written; an unsupported type
// is logged and the run goes on.
std::optional<int> regeditCommand(OptionParser& options);
