// POSIX implementation of the Win32 process calls: CreateProcessA,
// ShellExecuteExA with "runas", OpenProcess, WaitForSingleObject on a process
// handle, and the Windows rules for splitting a command line.
#include "posix/win32_standin.h"

#include "posix/standin_handle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace {

void* reap(void* pid) {
    while (::waitpid(static_cast<pid_t>(reinterpret_cast<intptr_t>(pid)), nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// A child of ours. Whoever closes the handle without having waited for it
// leaves it running; a detached thread then collects its exit so that no
// zombie stays behind while this process lives on.
struct ProcessObject : StandinObject {
    explicit ProcessObject(pid_t id) : pid(id) {}
    ~ProcessObject() override {
        if (ended || ::waitpid(pid, nullptr, WNOHANG) != 0)
            return;
        pthread_attr_t attributes;
        pthread_t thread;
        if (pthread_attr_init(&attributes) != 0)
            return;
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_create(&thread, &attributes, reap, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
        pthread_attr_destroy(&attributes);
    }
    // Records how the reaped child ended, as GetExitCodeProcess reports it.
    void endedWith(int status) {
        ended = true;
        exitCode = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                     : 128u + static_cast<DWORD>(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    const pid_t pid;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
};

// A process that is not our child, opened by its id. A pidfd tells when it
// ends, zombie or not; where the system has none, it is asked for now and
// then with signal 0.
struct OpenedProcessObject : StandinObject {
    OpenedProcessObject(pid_t id, int descriptor) : pid(id), pidfd(descriptor) {}
    ~OpenedProcessObject() override {
        if (pidfd >= 0)
            ::close(pidfd);
    }
    OpenedProcessObject(const OpenedProcessObject&) = delete;
    OpenedProcessObject& operator=(const OpenedProcessObject&) = delete;
    bool ended(int waitMs) const {
        if (pidfd >= 0) {
            pollfd watch{pidfd, POLLIN, 0};
            return ::poll(&watch, 1, waitMs) > 0;
        }
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            return true;
        timespec pause{0, static_cast<long>(std::min(waitMs, 10)) * 1000000L};
        ::nanosleep(&pause, nullptr);
        return false;
    }
    const pid_t pid;
    const int pidfd;
};

// A process has one thread here; its handle only needs closing.
struct ThreadObject : StandinObject {};

// Whether this process set TZ itself, which the programs it starts must not
// inherit.
bool ownTimeZoneSetting = false;

// The environment as this process was given it.
std::vector<char*> givenEnvironment() {
    std::vector<char*> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!ownTimeZoneSetting || std::strncmp(*entry, "TZ=", 3) != 0)
            entries.push_back(*entry);
    }
    entries.push_back(nullptr);
    return entries;
}

// Starts `path` with `arguments`, its standard streams on /dev/null and none
// of our other descriptors open, as a Win32 child that inherits no handles.
// Returns 0 or the errno value of the failed start (glibc reports exec
// failures from posix_spawn).
int spawn(const std::string& path, const std::vector<std::string>& arguments, pid_t& pid) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return ENOMEM;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return ENOMEM;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // Signals we ignore or block are no business of the child.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> environment = givenEnvironment();
    const int error = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environment.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

DWORD startError(int error, const std::string& path) {
    struct stat st {};
    // A file that nobody may execute is a data file, which is what Windows
    // calls "not a valid application"; a folder stays access denied.
    if (error == EACCES && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0)
        return ERROR_BAD_EXE_FORMAT;
    return win32ErrorFromErrno(error, path.c_str());
}

std::string findOnPath(const char* name) {
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "";
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string folder = list.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = folder + "/" + name;
            struct stat st {};
            if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

std::string processName(pid_t pid) {
    char name[64] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    if (std::FILE* comm = std::fopen(path.c_str(), "r")) {
        if (std::fgets(name, sizeof name, comm) == nullptr)
            name[0] = '\0';
        std::fclose(comm);
    }
    name[std::strcspn(name, "\n")] = '\0';
    return name;
}

// pkexec asks under its own name and then becomes the program, in the same
// process. It ending first means no authorisation (126: the dialog was
// dismissed, 127: refused or failed). A program that ran and ended with one of
// those two codes before we looked reads as refused as well.
bool awaitAuthorisation(ProcessObject& process) {
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(process.pid, &status, WNOHANG);
        if (result == process.pid) {
            process.endedWith(status);
            return !(WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127));
        }
        if (result < 0 && errno != EINTR)
            return true;
        if (processName(process.pid) != "pkexec")
            return true;
        timespec pause{0, 20 * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
}

} // namespace

namespace {

// The arguments after the program, by the rules of CommandLineToArgvW; at
// most `limit` of them, with `end` then set where the text goes on.
std::vector<std::string> splitArguments(const char* p, std::size_t limit = SIZE_MAX, const char** end = nullptr) {
    std::vector<std::string> arguments;
    std::string argument;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0' || arguments.size() == limit)
            break;
        argument.clear();
        bool quoted = false;
        while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                std::size_t count = 0;
                for (; *p == '\\'; ++p)
                    ++count;
                if (*p != '"') {
                    argument.append(count, '\\');
                    continue;
                }
                argument.append(count / 2, '\\');
                if (count % 2 == 1) {
                    argument += '"';
                    ++p;
                }
                // An even run leaves the quote to open or close below.
            } else if (*p == '"') {
                ++p;
                if (quoted && *p == '"') {
                    argument += '"';
                    ++p;
                    quoted = false;
                } else {
                    quoted = !quoted;
                }
            } else {
                argument += *p++;
            }
        }
        arguments.push_back(argument);
    }
    if (end != nullptr)
        *end = p;
    return arguments;
}

// Where the program ends in a command line that begins with it, written as
// is or in quotes; null when it does not begin so. A Linux path may hold a
// '"', which the split of the first token cannot give back.
const char* afterProgram(const char* commandLine, const std::string& program) {
    const std::size_t length = program.size();
    if (std::strncmp(commandLine, program.c_str(), length) == 0 &&
        (commandLine[length] == '\0' || commandLine[length] == ' ' || commandLine[length] == '\t'))
        return commandLine + length;
    if (commandLine[0] == '"' && std::strncmp(commandLine + 1, program.c_str(), length) == 0 &&
        commandLine[length + 1] == '"')
        return commandLine + length + 2;
    // Quoted with escapes, as buildCommandLine writes a name that holds a
    // quote or ends in a backslash.
    const char* end = nullptr;
    const std::vector<std::string> first = splitArguments(commandLine, 1, &end);
    return !first.empty() && first[0] == program ? end : nullptr;
}

} // namespace

std::vector<std::string> splitCommandLine(const char* commandLine) {
    std::vector<std::string> arguments;
    const char* p = commandLine;
    if (p == nullptr || *p == '\0')
        return arguments;

    // The program: backslashes are plain characters in it.
    std::string argument;
    if (*p == '"') {
        for (++p; *p != '\0' && *p != '"'; ++p)
            argument += *p;
        if (*p == '"')
            ++p;
    } else {
        for (; *p != '\0' && *p != ' ' && *p != '\t'; ++p)
            argument += *p;
    }
    arguments.push_back(argument);
    const std::vector<std::string> rest = splitArguments(p);
    arguments.insert(arguments.end(), rest.begin(), rest.end());
    return arguments;
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, void* /*processAttributes*/, void* /*threadAttributes*/,
                    BOOL inheritHandles, DWORD /*creationFlags*/, LPVOID environment, LPCSTR currentDirectory,
                    STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInformation) {
    if (inheritHandles || environment != nullptr || currentDirectory != nullptr || startupInfo == nullptr ||
        processInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A command line that begins with the application name hands it over
    // whole as the child's first argument, whatever characters it holds.
    const char* rest =
        commandLine != nullptr && applicationName != nullptr ? afterProgram(commandLine, applicationName) : nullptr;
    std::vector<std::string> arguments;
    if (rest != nullptr) {
        arguments = splitArguments(rest);
        arguments.insert(arguments.begin(), applicationName);
    } else {
        arguments = splitCommandLine(commandLine);
    }
    if (applicationName == nullptr && arguments.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Without an application name Windows would search for the first token;
    // nothing here relies on that, so it is taken as the path itself. A '\'
    // is a character of a Linux name: the path is started as it was given.
    const std::string path = applicationName != nullptr ? applicationName : arguments[0];
    if (arguments.empty())
        arguments.push_back(applicationName);

    pid_t pid = 0;
    if (const int error = spawn(path, arguments, pid)) {
        SetLastError(startError(error, path));
        return FALSE;
    }
    processInformation->hProcess = toHandle(new ProcessObject(pid));
    processInformation->hThread = toHandle(new ThreadObject);
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    if (info == nullptr || info->cbSize != sizeof *info || info->lpFile == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->lpVerb == nullptr || std::strcmp(info->lpVerb, "runas") != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // only the elevated start is needed here
        return FALSE;
    }
    // The file is the program's first argument as it stands; the parameters
    // are split as a child would split them.
    std::vector<std::string> arguments = splitArguments(info->lpParameters != nullptr ? info->lpParameters : "");
    arguments.insert(arguments.begin(), info->lpFile);
    std::string path = info->lpFile;
    // Like the shell, take a bare name from the current folder, else from PATH
    // (argv[0] is bare when this helper itself was found on PATH).
    if (path.find('/') == std::string::npos && ::access(path.c_str(), F_OK) != 0) {
        const std::string found = findOnPath(path.c_str());
        if (!found.empty())
            path = found;
    }

    pid_t pid = 0;
    ProcessObject* process = nullptr;
    if (::geteuid() == 0) {
        if (const int error = spawn(path, arguments, pid)) {
            SetLastError(startError(error, path));
            return FALSE;
        }
        process = new ProcessObject(pid);
    } else {
        const std::string pkexec = findOnPath("pkexec");
        if (pkexec.empty()) {
            SetLastError(ERROR_CANCELLED); // nobody to ask: as if the prompt was declined
            return FALSE;
        }
        // pkexec wants the program by its full path.
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) {
            SetLastError(startError(errno, path));
            return FALSE;
        }
        arguments[0] = resolved;
        arguments.insert(arguments.begin(), pkexec);
        if (const int error = spawn(pkexec, arguments, pid)) {
            SetLastError(startError(error, pkexec));
            return FALSE;
        }
        process = new ProcessObject(pid);
        if (!awaitAuthorisation(*process)) {
            delete process;
            SetLastError(ERROR_CANCELLED);
            return FALSE;
        }
    }
    info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(33)); // above 32: success
    if (info->fMask & SEE_MASK_NOCLOSEPROCESS)
        info->hProcess = toHandle(process);
    else
        delete process;
    return TRUE;
}

DWORD GetProcessId(HANDLE handle) {
    const ProcessObject* process =
        handle != nullptr && handle != INVALID_HANDLE_VALUE ? fromHandle<ProcessObject>(handle) : nullptr;
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(process->pid);
}

BOOL GetExitCodeProcess(HANDLE handle, DWORD* exitCode) {
    ProcessObject* process =
        handle != nullptr && handle != INVALID_HANDLE_VALUE ? fromHandle<ProcessObject>(handle) : nullptr;
    if (process == nullptr || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int status = 0;
    if (!process->ended && ::waitpid(process->pid, &status, WNOHANG) == process->pid)
        process->endedWith(status);
    *exitCode = process->exitCode;
    return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    const pid_t pid = static_cast<pid_t>(processId);
    if (pid <= 0 || static_cast<DWORD>(pid) != processId || ::kill(pid, 0) != 0) {
        SetLastError(pid > 0 && errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    const int pidfd = -1;
#endif
    if (pidfd < 0 && errno == ESRCH) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (pidfd >= 0)
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    return toHandle(new OpenedProcessObject(pid, pidfd));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const bool valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
    if (const OpenedProcessObject* opened = valid ? fromHandle<OpenedProcessObject>(handle) : nullptr) {
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            const ULONGLONG waited = GetTickCount64() - start;
            const ULONGLONG left =
                milliseconds == INFINITE ? 1000 : milliseconds - std::min<ULONGLONG>(waited, milliseconds);
            if (opened->ended(static_cast<int>(std::min<ULONGLONG>(left, 1000))))
                return WAIT_OBJECT_0;
            if (milliseconds != INFINITE && GetTickCount64() - start >= milliseconds)
                return WAIT_TIMEOUT;
        }
    }
    ProcessObject* process = valid ? fromHandle<ProcessObject>(handle) : nullptr;
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (!process->ended) {
        int status = 0;
        const pid_t result = ::waitpid(process->pid, &status, milliseconds == INFINITE ? 0 : WNOHANG);
        if (result == process->pid) {
            process->endedWith(status);
            break;
        }
        if (result < 0) {
            if (errno == EINTR)
                continue;
            SetLastError(win32ErrorFromErrno(errno, nullptr));
            return WAIT_FAILED;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsed = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= static_cast<long long>(milliseconds))
            return WAIT_TIMEOUT;
        timespec pause{0, 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    return WAIT_OBJECT_0;
}

void loadLocalTimeZoneOnce() {
    if (std::getenv("TZ") == nullptr && ::setenv("TZ", ":/etc/localtime", 0) == 0)
        ownTimeZoneSetting = true;
}
