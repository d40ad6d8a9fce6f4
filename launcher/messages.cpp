#include "launcher/messages.h"

#include <stdarg.h>
#include <stdio.h>

#include "base/exit_status.h"

namespace {

bool g_quiet = false;

}  // namespace

void set_quiet(bool quiet) {
    g_quiet = quiet;
}

void say(const char* format, ...) {
    if (g_quiet) return;
    // One write for the whole line: processes of one terminal do not mix it.
    char line[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) > sizeof(line) - 2) n = static_cast<int>(sizeof(line) - 2);
    line[n] = '\n';
    fprintf(stderr, "sandbox: %.*s", n + 1, line);
}

const char* describe_start_failure(int status) {
    switch (status) {
    case EXIT_SOCKETPAIR: return "could not start: the supervisor could not make the listener channel";
    case EXIT_FORK_CHILD: return "could not start: the supervisor could not fork the command's process";
    case EXIT_RECV_LISTENER: return "could not start: the command's process did not hand over its filter";
    case EXIT_PIPE_OR_MASK: return "could not start: no status pipe, or SIGCHLD could not be blocked";
    case EXIT_FORK_SUPERVISOR: return "could not start: the supervisor could not be forked";
    case EXIT_WRITE_PID: return "could not start: the supervisor could not pass on the command's pid";
    case EXIT_SIGNALFD: return "could not start: the supervisor could not watch its children (signalfd)";
    case EXIT_WRITE_ACK: return "could not start: the supervisor could not release the command";
    case EXIT_NO_PID: return "could not start: the supervisor ended before the command's process existed";
    case EXIT_NO_STATUS: return "the supervisor ended while the command ran; the command was killed";
    default: return nullptr;
    }
}
