// Starting other programs: plainly, without waiting, or with administrator
// rights through the shell's elevation prompt, waiting until it has ended;
// and waiting for a process that is not ours to end. All report through the
// log and their result; none throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Joins the arguments into one command-line text, each followed by one
// space, so that the system's splitting (CommandLineToArgvW) gives every
// argument back exactly: one that is empty or holds a space, tab, line feed,
// vertical tab or quote is enclosed in quotes, with each inner quote escaped
// and the backslashes before a quote (inner or closing) doubled. An empty
// list gives the empty text.
std::string buildCommandLine(const std::vector<std::string>& arguments);

// True when `program` names what Windows starts through cmd.exe, which
// reads its own syntax (`&`, `%VAR%`, `^`) in the arguments: its last name
// ends in ".bat" or ".cmd" in any case once what Windows drops from a name is
// taken off (a stream suffix such as "::$DATA", trailing dots and spaces).
// The rule alone, on both builds: see kBatchFilesRunThroughCmd.
bool isBatchFileName(const std::string& program);
// Whether this build's system runs a batch file through its command
// interpreter when asked to start it: natively such a name is a file like
// any other.
#ifdef _WIN32
constexpr bool kBatchFilesRunThroughCmd = true;
#else
constexpr bool kBatchFilesRunThroughCmd = false;
#endif

// Creates the process `program` (on Windows with every '/' turned into a
// backslash) and returns 0 at once, without waiting for it. Its command line
// is the program, quoted by buildCommandLine, then each of `words` as it
// stands, each followed by one space: quotes in a word group as the child's
// splitting makes them. When it cannot be created: logs "Failed to start
// child process. <program> Last error: <code>" at ERROR and returns -8.
int startProcess(const std::string& program, const std::vector<std::string>& words);

// A program started as startProcess starts it, and watched by the process
// that started it until it ends or is let go.
class LaunchedProcess {
public:
    LaunchedProcess() = default;
    // Lets a program that still runs go on alone (natively its end is still
    // collected while this process lives).
    ~LaunchedProcess();
    LaunchedProcess(const LaunchedProcess&) = delete;
    LaunchedProcess& operator=(const LaunchedProcess&) = delete;

    // Starts it as startProcess does: 0, or -8 with the same ERROR line.
    int start(const std::string& program, const std::vector<std::string>& words);
    // Waits at most `timeoutMs` for it to end: true once it has, with its
    // exit status in `status` (all 32 bits on Windows; natively a program
    // ended by a signal reads as 128 + its number, as shells report it).
    bool waitForEnd(std::uint32_t timeoutMs, std::uint32_t& status);

private:
    // The system's part of start: 0 or the code of the failed start.
    std::uint32_t create(const std::string& program, const std::vector<std::string>& words);

    std::intptr_t process_ = -1; // the system's handle (Windows) or the id (POSIX)
    std::intptr_t watch_ = -1;   // natively a pidfd, when the system has them
    bool ended_ = false;
    std::uint32_t status_ = 0;
};

// Starts `program` (unchanged) with administrator rights (the shell's verb
// "runas", with no error dialog, on Windows; pkexec natively, or directly
// when already root), logging the copy's process id, and waits without time-out until it has ended; returns 0
// and its exit status in `exitStatus` (1, with an ERROR line, when that status
// cannot be read). When it cannot be started or the prompt is declined: logs
// at ERROR with the system's code (1223: declined) and returns 255.
int startElevated(const std::string& program, const std::vector<std::string>& arguments, int& exitStatus);

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

// Called once at start, before any thread: natively names the zone file in
// TZ unless the caller set TZ, so that the C library reads it once instead of
// at every local-time conversion (two per zip entry); the programs started
// above still get the environment as this process was given it. On Windows
// there is nothing to do.
void loadLocalTimeZoneOnce();
