// The launcher: the process the user started. It checks the command line,
// decodes the policy, starts the supervisor and relays the command's status.
#pragma once

#include <sys/types.h>

#include "base/sandbox_tree.h"
#include "launcher/command_line.h"
#include "launcher/descriptors.h"
#include "supervisor/refusal_log.h"

// The sandbox as the launcher knows it once the command's pid has arrived;
// the signal handler reads it, so it is final before the handler exists.
extern SandboxTree g_sandbox;

// The launcher's exit status for the sandboxed child's raw wait status.
[[nodiscard]] int map_wait_status(int status);

// Waits for the supervisor; its nonzero exit code, or fallback.
[[nodiscard]] int supervisor_exit(pid_t pid, int fallback);

// Sends sig to the sandboxed child, through its pidfd when there is one.
void forward_signal(int sig);

// The whole program; returns the launcher's exit status.
[[nodiscard]] int run_launcher(int argc, char** argv);

// Opens the log the command line names into *log, not blocking on it. False
// with *problem set when it cannot be written.
[[nodiscard]] bool open_refusal_log(const CommandLine& line, RefusalLog* log, char* problem, size_t size);
