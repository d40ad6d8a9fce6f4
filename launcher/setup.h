// Set-up of the two forked processes, up to their steady state.
#pragma once

#include "launcher/descriptors.h"
#include "policy/policy.h"
#include "supervisor/notify_loop.h"
#include "supervisor/refusal_log.h"

// What the run says and to whom.
struct StartOptions {
    RefusalLog* log;  // null: no log
    bool audit;
    ExecRefusalNote* note;    // null: quiet
    const char* policy_blob;  // for the log's first line, and the sandbox around this one
    bool nested;              // the sandbox around this one judges the command by this policy too
    int judging_threads;      // 0: four for each processor
};

// The first fork's child: starts the sandboxed child, which keeps the
// caller's descriptors in kept and closes the others, and serves its calls.
[[noreturn]] void run_supervisor(const Policy* policy, const KeptDescriptors* kept, int status_read, int status_write,
                                 char** command, const StartOptions& options);
