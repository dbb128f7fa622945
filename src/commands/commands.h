// The commands, in the order the dispatcher runs them. A command that can
// end the run returns the exit status to end it with; an empty result lets
// the dispatch go on.
#pragma once

#include "options/option_parser.h"

#include <optional>

// Waits --ms milliseconds; ends the run with 1 when --ms is missing.
std::optional<int> sleepCommand(OptionParser& options);

// Unpacks --zip into --out. Ends the run with 2 when the archive is missing
// or unreadable or --out is absent or empty; entries that fail are logged
// and passed over.
std::optional<int> extractCommand(OptionParser& options);
