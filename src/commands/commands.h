// The commands, in the order the dispatcher runs them. A command that can
// end the run returns the exit status to end it with; an empty result lets
// the dispatch go on.
#pragma once

#include "commands/wait_budgets.h"
#include "log/logger.h"
#include "options/option_parser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The process id --wait names (the app that is quitting), 0 when not given.
std::uint32_t waitPidOption(OptionParser& options);
// Waits, at most `budgets.appExitMs` (60 s), for the app named by --wait to
// quit. When it is still running, logs at `level` that it is, followed by
// `consequence`, and answers false.
bool appHasQuit(OptionParser& options, const WaitBudgets& budgets, LogLevel level, const char* consequence);

// Waits --ms milliseconds; ends the run with 1 when --ms is missing.
std::optional<int> sleepCommand(OptionParser& options);

// Re-runs this program with administrator rights, handing on every argument
// exactly but the elevate flag and the launch options (--launch, --program,
// --args, --launchAfterFailure), and waits for it: the copy's exit status once
// it has ended, 1 when it could not be started (the system's code is logged;
// 1223: the prompt was declined).
int elevateCommand(OptionParser& options, int argc, char** argv);

// The elevated copy's only command when a rollback needs administrator
// rights: puts the kept previous archive and unpacked folder of --appAsar
// back in place. 0 once done ("Rolled back ..."), 5 with an ERROR line when
// the kept pair is missing or not ours, or a step fails.
int rollbackCommand(OptionParser& options, const WaitBudgets& budgets);

// Completes or undoes an interrupted update of --appAsar and ends the run:
// 0, also when there was nothing to repair; 5 when another update of it runs
// on past `budgets.lockMs` (15 s).
int repairCommand(OptionParser& options, const WaitBudgets& budgets);
// Waits up to `budgets.appExitMs` (60 s) for the process --wait to end (5
// when it does not), takes the archive's lock (5 after `budgets.lockMs`, 15
// s), repairs, then replaces --appAsar and
// its unpacked folder by --updateAsar's, checked against --sha512 when
// given, and removes the update archive. Ends the run with 2 when the update
// is missing, a link, or fails its digest, or the digest text is invalid.
// A step that fails throws FileUtils::IOException, the old archive intact.
// Files in use are tried again for `budgets.inUseMs` (10 s).
std::optional<int> updateCommand(OptionParser& options, const WaitBudgets& budgets);
// Whether an update keeps the pair it replaces: with --probation and
// --launch (the program is watched afterwards), or in an elevated copy told
// so with --keepPrevious.
bool keepsReplaced(OptionParser& options);

// Writes --value as --type (REG_SZ or REG_DWORD) into the value --key of the
// existing key --subkey under --rootkey. Ends the run with 3 when the key
// cannot be opened, 4 when the value cannot be written; an unsupported type
// is logged and the run goes on.
std::optional<int> regeditCommand(OptionParser& options);

// Unpacks --zip into --out. Ends the run with 2 when the archive is missing
// or unreadable (held by another program for `budgets.inUseMs`) or --out is
// absent or empty; entries that fail are logged and passed over.
std::optional<int> extractCommand(OptionParser& options, const WaitBudgets& budgets);

// Starts --program with the space-separated --args and does not wait for it:
// 1 when --program is missing or names nothing, else 0 (a failed start is
// logged). Runs last, in the process that was started (an elevating one
// included, once its copy has ended), and after a failed command only with
// --launchAfterFailure; the failure then stays the run's status.
int launchCommand(OptionParser& options);
// What launchCommand does before starting: logs the launch and checks the
// program. The status to end the launch with when nothing is to be started;
// else the program and its words, empty.
std::optional<int> prepareLaunch(OptionParser& options, std::string& program, std::vector<std::string>& words);
// With --update done and --probation given: starts --program as
// launchCommand does and watches it for up to --probation ms. Healthy (it
// made --healthyMark, still runs when the time is up, or ended with 0): the
// kept previous pair is removed and the run ends with 0. Ended otherwise:
// the kept pair is swapped back (through an elevated copy running
// --rollback when this process is denied), the program started once more on
// it, and the run ends with 7; 5 when the swap back fails. `self` is this
// program's path, for that copy.
int launchOnProbation(OptionParser& options, const WaitBudgets& budgets, const char* self);
