// Test program: an app whose archive decides how it behaves, for the
// rollback tests. Started as `probe_app <archive> <record>`, it appends to
// <record> the archive's first line and the time of day in microseconds,
// then does what that line says:
//   exit <n>          ends with status n at once
//   mark <path> <n>   makes the file <path>, then ends with status n 100 ms later
//   run <ms>          ends with status 0 after <ms> milliseconds
//   crash             ends as a crashed program does (natively SIGSEGV; on
//                     Windows status 0xC0000005, an access violation's)
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void pause(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    char line[1024] = {};
    if (std::FILE* archive = std::fopen(argv[1], "rb")) {
        if (std::fgets(line, sizeof line, archive) == nullptr)
            line[0] = '\0';
        std::fclose(archive);
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    const auto now =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::FILE* record = std::fopen(argv[2], "ab");
    if (record == nullptr)
        return 3;
    std::fprintf(record, "%s|%lld\n", line, static_cast<long long>(now));
    std::fclose(record);

    char verb[16] = {};
    char path[1000] = {};
    long number = 0;
    if (std::sscanf(line, "exit %ld", &number) == 1)
        return static_cast<int>(number);
    if (std::sscanf(line, "mark %999s %ld", path, &number) == 2) {
        if (std::FILE* mark = std::fopen(path, "wb"))
            std::fclose(mark);
        pause(100);
        return static_cast<int>(number);
    }
    if (std::sscanf(line, "run %ld", &number) == 1) {
        pause(number);
        return 0;
    }
    if (std::sscanf(line, "%15s", verb) == 1 && std::strcmp(verb, "crash") == 0) {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 0xC0000005u);
#else
        std::raise(SIGSEGV);
#endif
    }
    return 4;
}
