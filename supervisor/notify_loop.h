// The supervisor's notification loop: reap exited children, then receive,
// judge and answer one trapped call per wakeup.
#pragma once

#include "base/sandbox_tree.h"
#include "policy/policy.h"

struct NotifyLoop {
    const Policy* policy;
    int listener;
    int signal_fd;  // SIGCHLD, non-blocking
    SandboxTree tree;
    int status_write;  // status pipe; the child's wait status goes here once
    bool status_relayed;
};

// Never returns: the supervisor ends with _exit(0) once no filtered process
// is left.
[[noreturn]] void serve_notifications(NotifyLoop* loop);
