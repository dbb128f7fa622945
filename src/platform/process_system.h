// What each system supplies for starting and watching processes; process.cpp
// writes the logging and the waiting once on top of it. Only the platform
// layer includes this header.
#pragma once

#include "platform/error_code.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

// Starts `program` (as given: its separators are the caller's to set) with
// the command line that is the program, quoted by buildCommandLine, then
// each of `words` as it stands followed by one space, read by Windows'
// splitting rules; the child inherits nothing of ours and is never waited
// for. Returns 0, or the code of the failed start (2 missing file, 3 missing
// folder, 193 no program).
ErrorCode startDetached(const std::string& program, const std::vector<std::string>& words);

// A copy of a program started with administrator rights: through the
// shell's "runas" prompt on Windows, through pkexec natively (directly when
// already root). The process itself outlives this object.
class ElevatedProcess {
public:
    ElevatedProcess() = default;
    ~ElevatedProcess();
    ElevatedProcess(const ElevatedProcess&) = delete;
    ElevatedProcess& operator=(const ElevatedProcess&) = delete;

    // Starts `program` with `arguments`, each handed over exactly. Returns 0,
    // or the system's code (1223: the prompt was declined, or nobody could
    // be asked).
    ErrorCode start(const std::string& program, const std::vector<std::string>& arguments);
    // False when the system handed the start to a program already running:
    // there is no process to wait for.
    bool waitable() const { return process_ != -1; }
    // Its process id once started.
    std::uint32_t id() const { return id_; }
    // Waits without time-out until it has ended: true with its exit status
    // (natively a signal's end reads as 128 + its number), false with the
    // last error set when that status cannot be read.
    bool waitForExit(int& status);

private:
    std::intptr_t process_ = -1; // the system's handle (Windows) or the id (POSIX)
    std::uint32_t id_ = 0;
    // Natively pkexec's end is watched while it asks; a program that ended
    // in that time has been collected, and its status is kept here.
    bool ended_ = false;
    int status_ = 0;
};

// A process that is not ours, watched by its id: opened for waiting where
// the system lets us, else asked about now and then.
class WatchedProcess {
public:
    explicit WatchedProcess(std::uint32_t pid);
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // True once it has ended or no process has the id; a process that may
    // not be asked about (access denied) counts as running.
    bool hasEnded() const;
    // Waits at most `timeoutMs` for it to end: true once it has, false when
    // the time ran out.
    bool waitForEnd(std::uint32_t timeoutMs) const;

private:
    std::uint32_t pid_;
    std::intptr_t watch_ = -1; // the system's handle (Windows) or a pidfd (POSIX)
    bool gone_ = false;        // no process had the id when we asked
};

} // namespace Platform
