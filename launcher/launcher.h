// The launcher: the process the user started. It checks the command line,
// decodes the policy, starts the supervisor and relays the command's status.
#pragma once

// Exit statuses of the program's own failures.
enum ExitStatus : int {
    EXIT_USAGE = 110,
    EXIT_NO_MEMORY = 111,
    EXIT_BAD_PATTERN = 112,
    EXIT_SOCKETPAIR = 113,
    EXIT_FORK_CHILD = 114,
    EXIT_FILTER = 115,
    EXIT_SEND_LISTENER = 116,
    EXIT_READ_ACK = 117,
    EXIT_RECV_LISTENER = 118,
    EXIT_PIPE_OR_MASK = 119,
    EXIT_FORK_SUPERVISOR = 120,
    EXIT_WRITE_PID = 121,
    EXIT_SIGNALFD = 122,
    EXIT_WRITE_ACK = 123,
    EXIT_NO_PID = 124,
    EXIT_NO_STATUS = 125,
    EXIT_EXEC_FAILED = 126,
    EXIT_NOT_FOUND = 127,
};

extern int g_child_pid;
extern int g_child_pidfd;

// 1 when argv has the shape "--policy <blob> -- <binary> [args...]".
int is_command_line_valid(int argc, char** argv);

// The launcher's exit status for the sandboxed child's raw wait status.
int map_wait_status(int status);

// Waits for the supervisor; its nonzero exit code, or fallback.
int supervisor_exit(int pid, int fallback);

// Sends sig to the sandboxed child, through its pidfd when there is one.
void forward_signal(int sig);

// The whole program; returns the launcher's exit status.
int run_launcher(int argc, char** argv);
