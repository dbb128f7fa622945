// Test program: an app whose archive says how it starts, for the rollback
// tests. `probe_app <archive> <record>` appends the archive's first line and
// the time in µs to <record>, then does what the line says: "exit <n>" ends
// with n; "mark <path> <n>" makes <path> and ends with n 100 ms later;
// "run <ms>" ends with 0 after <ms>; "crash" ends as a crash does (natively
// SIGSEGV, on Windows an access violation's status).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
    char line[1024] = {};
    std::FILE* archive = argc == 3 ? std::fopen(argv[1], "rb") : nullptr;
    std::FILE* record = argc == 3 ? std::fopen(argv[2], "ab") : nullptr;
    if (archive == nullptr || record == nullptr || std::fgets(line, sizeof line, archive) == nullptr)
        return 2;
    line[std::strcspn(line, "\r\n")] = '\0';
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::fprintf(record, "%s|%lld\n", line,
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
    std::fclose(record);
    char path[1000] = {};
    int number = 0;
    if (std::sscanf(line, "exit %d", &number) == 1)
        return number;
    if (std::sscanf(line, "mark %999s %d", path, &number) == 2) {
        if (std::FILE* mark = std::fopen(path, "wb"))
            std::fclose(mark);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return number;
    }
    if (std::sscanf(line, "run %d", &number) == 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(number));
        return 0;
    }
    if (std::strcmp(line, "crash") == 0) {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 0xC0000005u);
#else
        // The default action, not a sanitizer's handler, which would turn
        // the signal into an exit status of its own.
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
#endif
    }
    return 4;
}
