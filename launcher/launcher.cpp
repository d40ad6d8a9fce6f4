#include "launcher/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/exit_status.h"
#include "base/faults.h"
#include "base/io.h"
#include "base/kernel_abi.h"
#include "launcher/setup.h"
#include "policy/policy.h"

SandboxTree g_sandbox = {-1, -1, -1};

bool parse_command_line(int argc, char** argv, CommandLine* line) {
    line->policy = nullptr;
    line->kept.count = 0;
    line->command = 0;
    if (argc < 5 || strcmp(argv[1], "--policy") != 0) return false;
    line->policy = argv[2];
    int at = 3;
    while (at < argc && strcmp(argv[at], "--keep-fd") == 0) {
        const char* number = at + 1 < argc ? argv[at + 1] : "";
        int fd = -1;
        if (!parse_descriptor(number, strlen(number), &fd) || fd < 3) return false;
        if (line->kept.count == k_max_keep_options && !is_descriptor_kept(&line->kept, fd)) return false;
        if (!keep_descriptor(&line->kept, fd)) return false;
        at += 2;
    }
    if (at + 1 >= argc || strcmp(argv[at], "--") != 0) return false;
    line->command = at + 1;
    return true;
}

int map_wait_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return EXIT_NO_STATUS;
}

int supervisor_exit(pid_t pid, int fallback) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return fallback;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 0) return fallback;
    return WEXITSTATUS(status);
}

void forward_signal(int sig) {
    // Runs as a signal handler: only reads g_sandbox, which was set before
    // any handler was installed, and makes async-signal-safe calls.
    int saved_errno = errno;
    if (g_sandbox.child_pidfd >= 0 && syscall(k_nr_pidfd_send_signal, g_sandbox.child_pidfd, sig, nullptr, 0) == 0) {
        errno = saved_errno;
        return;
    }
    if (g_sandbox.child > 0) kill(g_sandbox.child, sig);
    errno = saved_errno;
}

namespace {

// make's and cargo's job servers are pipes. Flags inherited from a make that
// did not pass its job server on name numbers that the caller may since have
// given to anything else.
bool is_pipe(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

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
    CommandLine line;
    if (!parse_command_line(argc, argv, &line)) {
        fprintf(stderr, "usage: %s --policy <base64> [--keep-fd N]... -- <binary> [args...]\n", argv[0]);
        return EXIT_USAGE;
    }
    // A job server that make or cargo announce to the command stays open for
    // it, named or not. The set has room for both pipes beyond what the
    // command line may name.
    const char* const job_server_variables[] = {"MAKEFLAGS", "CARGO_MAKEFLAGS"};
    for (const char* name : job_server_variables) {
        int fds[2] = {-1, -1};
        if (!find_jobserver_fds(getenv(name), &fds[0], &fds[1])) continue;
        for (int fd : fds) {
            if (is_pipe(fd)) (void)keep_descriptor(&line.kept, fd);
        }
    }

    static Policy policy;
    switch (decode_policy(line.policy, &policy)) {
    case PolicyError::none: break;
    case PolicyError::no_memory: return EXIT_NO_MEMORY;
    case PolicyError::bad_pattern: return EXIT_BAD_PATTERN;
    }

    int status_pipe[2];
    if (FAULT_AT("pipe2") || pipe2(status_pipe, O_CLOEXEC) != 0) return EXIT_PIPE_OR_MASK;

    pid_t supervisor = FAULT_AT("fork-supervisor") ? -1 : fork();
    if (supervisor < 0) return EXIT_FORK_SUPERVISOR;
    if (supervisor == 0) run_supervisor(&policy, &line.kept, status_pipe[0], status_pipe[1], &argv[line.command]);
    close(status_pipe[1]);

    int pid = -1;
    if (!read_full(status_pipe[0], &pid) || pid < 1) return supervisor_exit(supervisor, EXIT_NO_PID);

    // Final before the handlers that read it exist.
    g_sandbox = {pid, static_cast<int>(syscall(k_nr_pidfd_open, pid, 0)), supervisor};
    install_forwarding();

    int status = 0;
    if (!read_full(status_pipe[0], &status)) {
        forward_signal(SIGKILL);
        return supervisor_exit(supervisor, EXIT_NO_STATUS);
    }
    waitpid(supervisor, nullptr, WNOHANG);
    return map_wait_status(status);
}
