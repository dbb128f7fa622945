#include "app/command_dispatcher.h"
#include "platform/process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

// The narrow argument vector is argv as the system gives it. The streams are
// made to behave as a Windows program's do: a write to a reader that has
// gone fails and is dropped instead of killing the process, and a stream
// that was not given is a null device, so that no file opened later (the
// log) takes its place and receives what is meant for the stream.
int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    loadLocalTimeZoneOnce();
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) == -1)
            ::open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY); // takes the lowest free number: this one
    }
    return CommandDispatcher(argc, argv);
}
