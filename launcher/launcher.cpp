#include "launcher/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/faults.h"
#include "launcher/io.h"
#include "launcher/kernel_abi.h"
#include "launcher/policy.h"
#include "launcher/setup.h"

int g_child_pid = -1;
int g_child_pidfd = -1;

int is_command_line_valid(int argc, char** argv) {
    if (argc < 5) return 0;
    if (strcmp(argv[1], "--policy") != 0) return 0;
    const char* separator = argv[3];
    return separator[0] == '-' && separator[1] == '-' && separator[2] == 0;
}

int map_wait_status(int status) {
    int low = status & 0x7f;
    if (low == 0) return (status >> 8) & 0xff;
    if ((static_cast<signed char>(low + 1) >> 1) > 0) return 128 + low;
    return EXIT_NO_STATUS;
}

int supervisor_exit(int pid, int fallback) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return fallback;
    }
    if ((status & 0x7f) != 0) return fallback;
    int code = (status >> 8) & 0xff;
    return code != 0 ? code : fallback;
}

void forward_signal(int sig) {
    // Runs as a signal handler: only reads the two globals, which were set
    // before any handler was installed, and makes async-signal-safe calls.
    int saved_errno = errno;
    if (g_child_pidfd >= 0 && syscall(k_nr_pidfd_send_signal, g_child_pidfd, sig, nullptr, 0) == 0) {
        errno = saved_errno;
        return;
    }
    if (g_child_pid > 0) kill(g_child_pid, sig);
    errno = saved_errno;
}

namespace {

void install_forwarding() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    const int forwarded[] = {SIGTERM, SIGINT, SIGHUP};
    for (int sig : forwarded) sigaction(sig, &action, nullptr);
}

}  // namespace

int run_launcher(int argc, char** argv) {
    if (!is_command_line_valid(argc, argv)) {
        fprintf(stderr, "usage: %s --policy <base64> -- <binary> [args...]\n", argv[0]);
        return EXIT_USAGE;
    }

    static Policy policy;
    decode_policy(argv[2], &policy);

    int status_pipe[2];
    if (FAULT_AT("pipe2") || pipe2(status_pipe, O_CLOEXEC) != 0) return EXIT_PIPE_OR_MASK;

    pid_t supervisor = FAULT_AT("fork-supervisor") ? -1 : fork();
    if (supervisor < 0) return EXIT_FORK_SUPERVISOR;
    if (supervisor == 0) run_supervisor(&policy, status_pipe[0], status_pipe[1], &argv[4]);
    close(status_pipe[1]);

    int pid = -1;
    if (read_full(status_pipe[0], &pid) != 0 || pid < 1) return supervisor_exit(supervisor, EXIT_NO_PID);

    // Both globals are final before the handlers that read them exist.
    g_child_pid = pid;
    g_child_pidfd = static_cast<int>(syscall(k_nr_pidfd_open, pid, 0));
    install_forwarding();

    int status = 0;
    if (read_full(status_pipe[0], &status) != 0) {
        forward_signal(SIGKILL);
        return supervisor_exit(supervisor, EXIT_NO_STATUS);
    }
    waitpid(supervisor, nullptr, WNOHANG);
    return map_wait_status(status);
}
