// Test program: records how it was started, for the end-to-end tests. It
// writes to the file named by RECORD_ARGS_FILE its command line as the system
// handed it over (Windows only; empty elsewhere) and then each argument, every
// field ended by a NUL byte. The file appears whole (written aside, then
// renamed), so a test may poll for it. RECORD_ARGS_HOLD_MS, when set, delays
// the recording by that many milliseconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
    const char* target = std::getenv("RECORD_ARGS_FILE");
    if (target == nullptr || *target == '\0')
        return 2;
    if (const char* hold = std::getenv("RECORD_ARGS_HOLD_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(hold)));

    std::string record;
#ifdef _WIN32
    record += GetCommandLineA();
#endif
    record += '\0';
    for (int i = 0; i < argc; ++i) {
        record += argv[i];
        record += '\0';
    }

    const std::string aside = std::string(target) + ".part";
    std::FILE* file = std::fopen(aside.c_str(), "wb");
    if (file == nullptr)
        return 3;
    const bool written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
    if (std::fclose(file) != 0 || !written)
        return 3;
    std::remove(target);
    return std::rename(aside.c_str(), target) == 0 ? 0 : 3;
}
