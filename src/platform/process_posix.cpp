#include "platform/process.h"
#include "platform/process_system.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The codes the log shows where POSIX has no errno of its own for them.
constexpr Platform::ErrorCode kNotAProgram = 193;
constexpr Platform::ErrorCode kDeclined = 1223;

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
// of our other descriptors open. Returns 0 or the errno value of the failed
// start (glibc reports exec failures from posix_spawn).
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

Platform::ErrorCode startError(int error, const std::string& path) {
    struct stat st {};
    // A file that nobody may execute is a data file, which the log calls
    // "not a valid application" on both builds; a folder stays access denied.
    if (error == EACCES && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0)
        return kNotAProgram;
    return Platform::errorFromErrno(error, path.c_str());
}

void* reap(void* pid) {
    while (::waitpid(static_cast<pid_t>(reinterpret_cast<intptr_t>(pid)), nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// A child that runs on alone: a detached thread collects its end, so that
// no zombie stays behind while this process lives on.
void reapWhenItEnds(pid_t pid) {
    pthread_attr_t attributes;
    pthread_t thread;
    if (pthread_attr_init(&attributes) != 0)
        return;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_create(&thread, &attributes, reap, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
    pthread_attr_destroy(&attributes);
}

// The words of a launch, read as a Windows child reads its command line
// after the program (the launch's contract is the same on both builds):
// white space separates outside quotes, 2n backslashes before a quote give n
// and the quote opens or closes, 2n+1 give n and a literal quote, and ""
// inside quotes gives a quote and closes them.
std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> arguments;
    const char* p = text.c_str();
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            return arguments;
        std::string argument;
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
}

// The child's argv: the program, then the words read as one command line.
std::vector<std::string> launchArguments(const std::string& program, const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words)
        text.append(word).append(1, ' ');
    std::vector<std::string> arguments = splitWords(text);
    arguments.insert(arguments.begin(), program);
    return arguments;
}

std::string findOnPath(const char* name) {
    const char* path = std::getenv("PATH");
    const std::string list = path != nullptr ? path : "";
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

// How a collected child ended: its exit status, or 128 + the signal's
// number, as a shell reports it.
// A pidfd for `pid`, closed on exec: it wakes a poll the moment the process
// ends, whoever's child it is. -1 (errno set) where the system has none.
int openPidfd(pid_t pid) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0)
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    return pidfd;
}

// Waits `ms`, woken early by `pidfd` (when not -1) telling that its process
// has ended.
void pauseUnlessEnded(std::intptr_t pidfd, int ms) {
    if (pidfd != -1) {
        pollfd watch{static_cast<int>(pidfd), POLLIN, 0};
        ::poll(&watch, 1, ms);
    } else {
        Platform::sleepMs(static_cast<std::uint32_t>(ms));
    }
}

int endStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

namespace Platform {

ErrorCode startDetached(const std::string& program, const std::vector<std::string>& words) {
    // The program is the child's first argument whatever it holds; the words
    // are read as one command line, so that quotes group as they do for a
    // Windows child.
    pid_t pid = 0;
    if (const int error = spawn(program, launchArguments(program, words), pid))
        return startError(error, program);
    reapWhenItEnds(pid);
    return 0;
}

} // namespace Platform

LaunchedProcess::~LaunchedProcess() {
    if (watch_ != -1)
        ::close(static_cast<int>(watch_));
    if (process_ != -1 && !ended_)
        reapWhenItEnds(static_cast<pid_t>(process_));
}

std::uint32_t LaunchedProcess::create(const std::string& program, const std::vector<std::string>& words) {
    pid_t pid = 0;
    if (const int error = spawn(program, launchArguments(program, words), pid))
        return startError(error, program);
    process_ = pid;
    // Without a pidfd the watcher looks every 10 ms.
    watch_ = openPidfd(pid);
    return 0;
}

bool LaunchedProcess::waitForEnd(std::uint32_t timeoutMs, std::uint32_t& status) {
    const std::uint64_t start = Platform::monotonicMs();
    while (!ended_) {
        int raw = 0;
        const pid_t result = ::waitpid(static_cast<pid_t>(process_), &raw, WNOHANG);
        if (result == static_cast<pid_t>(process_)) {
            ended_ = true;
            status_ = static_cast<std::uint32_t>(endStatus(raw));
            break;
        }
        if (result < 0 && errno != EINTR) {
            // Collected elsewhere: nothing more can be learnt of it.
            ended_ = true;
            status_ = 0;
            break;
        }
        const std::uint64_t waited = Platform::monotonicMs() - start;
        if (waited >= timeoutMs)
            return false;
        pauseUnlessEnded(watch_,
                         static_cast<int>(std::min<std::uint64_t>(timeoutMs - waited, watch_ != -1 ? 1000 : 10)));
    }
    status = status_;
    return true;
}

namespace Platform {

ElevatedProcess::~ElevatedProcess() {
    if (process_ != -1 && !ended_)
        reapWhenItEnds(static_cast<pid_t>(process_));
}

ErrorCode ElevatedProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = arguments;
    argv.insert(argv.begin(), program);
    std::string path = program;
    // Like the shell, take a bare name from the current folder, else from PATH
    // (argv[0] is bare when this helper itself was found on PATH).
    if (path.find('/') == std::string::npos && ::access(path.c_str(), F_OK) != 0) {
        const std::string found = findOnPath(path.c_str());
        if (!found.empty())
            path = found;
    }

    pid_t pid = 0;
    if (::geteuid() == 0) {
        if (const int error = spawn(path, argv, pid))
            return startError(error, path);
        process_ = pid;
        id_ = static_cast<std::uint32_t>(pid);
        return 0;
    }
    const std::string pkexec = findOnPath("pkexec");
    if (pkexec.empty())
        return kDeclined; // nobody to ask: as if the prompt was declined
    // pkexec wants the program by its full path.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return startError(errno, path);
    argv[0] = resolved;
    argv.insert(argv.begin(), pkexec);
    if (const int error = spawn(pkexec, argv, pid))
        return startError(error, pkexec);
    process_ = pid;
    id_ = static_cast<std::uint32_t>(pid);

    // pkexec asks under its own name and then becomes the program, in the
    // same process. It ending first means no authorisation (126: the dialog
    // was dismissed, 127: refused or failed). A program that ran and ended
    // with one of those two codes before we looked reads as refused as well.
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            ended_ = true;
            status_ = endStatus(status);
            if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
                process_ = -1;
                id_ = 0;
                return kDeclined;
            }
            return 0;
        }
        if ((result < 0 && errno != EINTR) || processName(pid) != "pkexec")
            return 0;
        sleepMs(20);
    }
}

bool ElevatedProcess::waitForExit(int& status) {
    while (!ended_) {
        int raw = 0;
        const pid_t result = ::waitpid(static_cast<pid_t>(process_), &raw, 0);
        if (result == static_cast<pid_t>(process_)) {
            ended_ = true;
            status_ = endStatus(raw);
        } else if (result < 0 && errno != EINTR) {
            setLastError(errorFromErrno(errno));
            return false;
        }
    }
    status = status_;
    return true;
}

WatchedProcess::WatchedProcess(std::uint32_t pid) : pid_(pid) {
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) {
        gone_ = true;
        return;
    }
    // Where the system has no pidfd, the process is asked about now and then.
    watch_ = openPidfd(static_cast<pid_t>(pid));
    gone_ = watch_ == -1 && errno == ESRCH;
}

WatchedProcess::~WatchedProcess() {
    if (watch_ != -1)
        ::close(static_cast<int>(watch_));
}

bool WatchedProcess::hasEnded() const {
    if (gone_)
        return true;
    if (watch_ != -1) {
        pollfd watch{static_cast<int>(watch_), POLLIN, 0};
        return ::poll(&watch, 1, 0) > 0;
    }
    // Refused (another user's process) means it is there.
    return ::kill(static_cast<pid_t>(pid_), 0) != 0 && errno == ESRCH;
}

bool WatchedProcess::waitForEnd(std::uint32_t timeoutMs) const {
    const std::uint64_t start = monotonicMs();
    for (;;) {
        if (hasEnded())
            return true;
        const std::uint64_t waited = monotonicMs() - start;
        if (waited >= timeoutMs)
            return false;
        pauseUnlessEnded(watch_,
                         static_cast<int>(std::min<std::uint64_t>(timeoutMs - waited, watch_ != -1 ? 1000 : 100)));
    }
}

} // namespace Platform

void loadLocalTimeZoneOnce() {
    if (std::getenv("TZ") == nullptr && ::setenv("TZ", ":/etc/localtime", 0) == 0)
        ownTimeZoneSetting = true;
}
