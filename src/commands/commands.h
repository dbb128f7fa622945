// The commands, in the order the dispatcher runs them. A command that can
// end the run returns the exit status to end it with; an empty result lets
// the dispatch go on.
#pragma once

#include "options/option_parser.h"

#include <optional>

// Waits --ms milliseconds; ends the run with 1 when --ms is missing.
std::optional<int> sleepCommand(OptionParser& options);

// Re-runs this program with administrator rights, handing on every argument
// exactly but the elevate flag and the launch options (--launch, --program,
// --args, --launchAfterFailure), and waits for it: the copy's exit status once
// it has ended, 1 when it could not be started (the system's code is logged;
// 1223: the prompt was declined).
int elevateCommand(OptionParser& options, int argc, char** argv);
// Waits up to 60 s for the process --wait to end, then replaces --appAsar
// by a copy of --updateAsar and removes the latter; ends the run with 2 when
// the update archive is missing. A copy or removal that fails throws
// FileUtils::IOException.
std::optional<int> updateCommand(OptionParser& options);
// Writes --value as --type (REG_SZ or REG_DWORD) into the value --key of the
// existing key --subkey under --rootkey. Ends the run with 3 when the key
// cannot be opened, 4 when the value cannot be written; an unsupported type
// is logged and the run goes on.
std::optional<int> regeditCommand(OptionParser& options);

// Unpacks --zip into --out. Ends the run with 2 when the archive is missing
// or unreadable or --out is absent or empty; entries that fail are logged
// and passed over.
std::optional<int> extractCommand(OptionParser& options);

// Starts --program with the space-separated --args and does not wait for it:
// 1 when --program is missing or names nothing, else 0 (a failed start is
// logged). Runs last, in the process that was started (an elevating one
// included, once its copy has ended), and after a failed command only with
// --launchAfterFailure; the failure then stays the run's status.
int launchCommand(OptionParser& options);
