// The supervisor's notification loop: reap exited children, then receive,
// judge and answer one trapped call per wakeup.
#pragma once

#include "supervisor/dispatch.h"
#include "supervisor/emulated_open.h"
#include "supervisor/refusal_log.h"

// Why the command itself could not be started: the supervisor writes it
// when it refuses an execution by the sandbox's first process, in memory
// that process shares until its execution succeeds, and that process says
// it when its last attempt fails.
struct ExecRefusalNote {
    char text[k_path_size + 256];
};

struct NotifyLoop {
    Supervision supervision;
    int signal_fd;     // SIGCHLD, non-blocking
    int status_write;  // status pipe; the child's wait status goes here once
    bool status_relayed;
    RefusalLog* log;        // null: no log
    ExecRefusalNote* note;  // null: nothing is said
    OpenEmulation* opens;   // null: allowed opens and changes go ahead in the caller ("continue")
};

// Never returns: the supervisor ends with _exit(0) once no filtered process
// is left.
[[noreturn]] void serve_notifications(NotifyLoop* loop);
