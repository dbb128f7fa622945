// The commands, in the order the dispatcher runs them. A command that can
// end the run returns the exit status to end it with; an empty result lets
// the dispatch go on.
#pragma once

#include "options/option_parser.h"

#include <optional>

// Waits --ms milliseconds; ends the run with 1 when --ms is missing.
std::optional<int> sleepCommand(OptionParser& options);

// Replaces --appAsar by a copy of --updateAsar and removes the latter; ends
// the run with 2 when the update archive is missing. A copy or removal that
// fails throws FileUtils::IOException.
std::optional<int> updateCommand(OptionParser& options);
