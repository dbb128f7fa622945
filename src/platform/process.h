// Starting other programs: plainly, without waiting, or with administrator
// rights through the shell's elevation prompt, waiting until it has ended;
// and waiting for a process that is not ours to end. All report through the
// log and their result; none throws.
#pragma once

#include <string>
#include <vector>

// Joins the arguments into one command-line text, each followed by one
// space. An argument with a space (0x20) that is not already enclosed in
// double quotes is wrapped in them; backslashes that end a wrapped argument
// are doubled so that the closing quote still closes it. Nothing else is
// escaped. An empty list gives the empty text.
std::string buildCommandLine(const std::vector<std::string>& arguments);

// Creates the process `program` (every '/' turned into a backslash) with the
// arguments and returns 0 at once, without waiting for it. When it cannot be
// created: logs "Failed to start child process. <program> Last error: <code>"
// at ERROR and returns -8.
int startProcess(const std::string& program, const std::vector<std::string>& arguments);

// Starts `program` (unchanged) with the verb "runas" and waits without
// time-out until it has ended; returns 0. When it cannot be started or the
// prompt is declined: logs at ERROR and returns 255.
int startElevated(const std::string& program, const std::vector<std::string>& arguments);

// Waits at most `timeoutMs` for the process `pid` to end. No such process,
// 0 and this process's own id give true at once, with nothing logged.
// Otherwise logs "Waiting for process <pid> to exit" at INFO, then "Process
// <pid> has exited" (INFO) and gives true, or gives false, logging nothing
// more, when it still runs: what follows is the caller's to say. A process
// that may not be waited on (access denied) is watched by asking for it now
// and then.
bool waitForProcessExit(unsigned long pid, unsigned long timeoutMs);

// True once the process `pid` is known to have ended (no process has the id
// any more); a process that cannot be asked about (access denied) counts as
// running.
bool processHasEnded(unsigned long pid);
