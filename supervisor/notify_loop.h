// The supervisor's notification loop: reap exited children, then receive,
// judge and answer one trapped call per wakeup.
#pragma once

#include "launcher/policy.h"

struct NotifyLoop {
    const Policy* policy;
    int listener;
    int signal_fd;        // SIGCHLD, non-blocking
    int child_pid;        // root of the sandbox tree
    int supervisor_pid;
    int status_write;     // status pipe; the child's wait status goes here once
    int status_relayed;
};

// Never returns: the supervisor ends with _exit(0) once no filtered process
// is left.
[[noreturn]] void serve_notifications(NotifyLoop* loop);
