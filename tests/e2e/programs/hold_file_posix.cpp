// Test program: another program that has a file open, natively. The same
// usage as hold_file_win32.cpp: hold_file PIDFILE MS [PATH SHARE [LOOK]].
// Natively the only sharing that is kept is the advisory lock a reader that
// keeps writers out takes: SHARE without 'w' takes a shared flock (without
// 'r' an exclusive one), as the helper's own readers and writers do.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

bool writeWhole(const std::string& path, const std::string& data) {
    const std::string aside = path + ".part";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        if (!(out << data))
            return false;
    }
    return std::rename(aside.c_str(), path.c_str()) == 0;
}

std::string readWhole(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5 && argc != 6)
        return 2;
    int held = -1;
    if (argc >= 5) {
        held = ::open(argv[3], O_RDONLY | O_CLOEXEC);
        if (held < 0)
            return 3;
        const int lock = std::strchr(argv[4], 'r') == nullptr   ? LOCK_EX
                         : std::strchr(argv[4], 'w') == nullptr ? LOCK_SH
                                                                : 0;
        if (lock != 0 && ::flock(held, lock | LOCK_NB) != 0)
            return 3;
    }
    if (!writeWhole(argv[1], std::to_string(::getpid())))
        return 3;
    ::usleep(static_cast<useconds_t>(std::strtoul(argv[2], nullptr, 10) * 1000));
    if (argc == 6 && !writeWhole(argv[5], readWhole(argv[3])))
        return 3;
    if (held >= 0)
        ::close(held);
    return 0;
}
