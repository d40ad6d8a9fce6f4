// The supervisor's notification loop: judging threads receive, judge and
// answer trapped calls, each its own; one thread keeps the run (reaps
// children, relays the command's status, tends opens that wait, and ends
// the run when no filtered process is left).
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
    Supervision supervision;  // each judging thread's, but for its own records
    bool audit;               // the policy's refusals are lifted and logged
    int signal_fd;            // SIGCHLD, non-blocking
    int status_write;         // status pipe; the child's wait status goes here once
    bool status_relayed;
    bool child_reaped;  // the command's process; child_status is its wait status
    int child_status;
    RefusalLog* log;        // null: no log
    ExecRefusalNote* note;  // null: nothing is said
    OpenEmulation* opens;   // null: allowed opens and changes go ahead in the caller ("continue")
    // 1: the calling thread judges and keeps, as one loop; more: it keeps,
    // and that many threads judge. At most k_judging_threads_max.
    int judging_threads;
};

// The judging threads a run gets unless told: four for each processor the
// supervisor may run on, at most k_judging_threads_max.
[[nodiscard]] int count_default_judging_threads();

// Never returns: the supervisor ends with _exit(0) once no filtered process
// is left. Judging threads that cannot be started are done without; with
// none, the calling thread judges too.
[[noreturn]] void serve_notifications(NotifyLoop* loop);
