// The supervisor's notification loop: reap exited children, then receive,
// judge and answer one trapped call per wakeup.
#pragma once

#include "supervisor/dispatch.h"

struct NotifyLoop {
    Supervision supervision;
    int signal_fd;     // SIGCHLD, non-blocking
    int status_write;  // status pipe; the child's wait status goes here once
    bool status_relayed;
};

// Never returns: the supervisor ends with _exit(0) once no filtered process
// is left.
[[noreturn]] void serve_notifications(NotifyLoop* loop);
