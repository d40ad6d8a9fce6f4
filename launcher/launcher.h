// The launcher: the process the user started. It checks the command line,
// decodes the policy, starts the supervisor and relays the command's status.
#pragma once

#include <sys/types.h>

#include "base/sandbox_tree.h"
#include "launcher/descriptors.h"

// The sandbox as the launcher knows it once the command's pid has arrived;
// the signal handler reads it, so it is final before the handler exists.
extern SandboxTree g_sandbox;

// What the command line says.
struct CommandLine {
    const char* policy;    // the Base64 blob
    KeptDescriptors kept;  // named with --keep-fd
    int command;           // the index of <binary> in argv
};

// Reads argv of the shape "--policy <blob> [--keep-fd N]... -- <binary>
// [args...]" into *line. False for any other shape, for an N that is not a
// decimal number from 3 below k_descriptor_limit, and for more than
// k_max_keep_options different descriptors.
[[nodiscard]] bool parse_command_line(int argc, char** argv, CommandLine* line);

// The launcher's exit status for the sandboxed child's raw wait status.
[[nodiscard]] int map_wait_status(int status);

// Waits for the supervisor; its nonzero exit code, or fallback.
[[nodiscard]] int supervisor_exit(pid_t pid, int fallback);

// Sends sig to the sandboxed child, through its pidfd when there is one.
void forward_signal(int sig);

// The whole program; returns the launcher's exit status.
[[nodiscard]] int run_launcher(int argc, char** argv);
