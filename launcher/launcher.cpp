#include "launcher/launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <regex.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/exit_status.h"
#include "base/faults.h"
#include "base/io.h"
#include "base/kernel_abi.h"
#include "base/nest_request.h"
#include "launcher/messages.h"
#include "launcher/policy_input.h"
#include "launcher/setup.h"
#include "policy/policy.h"
#include "supervisor/notify_loop.h"

SandboxTree g_sandbox = {-1, -1, -1};

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

bool open_refusal_log(const CommandLine& line, RefusalLog* log, char* problem, size_t size) {
    log->fd = -1;
    log->is_socket = false;
    log->format = line.log_format;
    log->audit = line.audit;
    log->refused = 0;
    log->would_refuse = 0;
    log->dropped = 0;
    if (line.log_to == LogTo::none) return true;
    if (line.log_to == LogTo::file) {
        // Not blocking: a FIFO without a reader is refused, not waited on.
        do {
            log->fd = open(line.log_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
        } while (log->fd < 0 && errno == EINTR);
        if (log->fd < 0) {
            snprintf(problem, size, "cannot open the log %s: %s", line.log_file, strerror(errno));
            return false;
        }
        return true;
    }
    const int flags = fcntl(line.log_fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        snprintf(problem, size, "descriptor %d is not open for writing: no log", line.log_fd);
        return false;
    }
    struct stat status;
    if (fstat(line.log_fd, &status) != 0) {
        snprintf(problem, size, "descriptor %d: %s", line.log_fd, strerror(errno));
        return false;
    }
    log->fd = line.log_fd;
    log->is_socket = S_ISSOCK(status.st_mode);
    if (log->is_socket || S_ISREG(status.st_mode)) return true;
    // A pipe or a terminal is opened anew, not blocking: the caller's own
    // open file keeps its mode.
    char name[64];
    snprintf(name, sizeof(name), "/proc/self/fd/%d", line.log_fd);
    int fd;
    do {
        fd = open(name, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        close(line.log_fd);
        log->fd = fd;
    } else {
        (void)fcntl(line.log_fd, F_SETFL, flags | O_NONBLOCK);
    }
    return true;
}

namespace {

// The first write pattern that does not compile, with regcomp's words.
void say_bad_pattern(const Policy& policy) {
    for (uint64_t i = 0; i < policy.write_patterns.count; ++i) {
        regex_t compiled;
        const int status = regcomp(&compiled, policy.write_patterns.items[i], REG_EXTENDED | REG_NOSUB);
        if (status == 0) {
            regfree(&compiled);
            continue;
        }
        char message[256];
        regerror(status, &compiled, message, sizeof(message));
        say("write pattern '%s' does not compile: %s", policy.write_patterns.items[i], message);
        return;
    }
}

int say_start_failure(int status) {
    const char* words = describe_start_failure(status);
    if (words != nullptr) say("%s (status %d)", words, status);
    return status;
}

}  // namespace

int run_launcher(int argc, char** argv) {
    CommandLine line;
    LineProblem problem;
    const bool parsed = parse_command_line(argc, argv, &line, &problem);
    set_quiet(line.quiet);
    if (!parsed) {
        say("%s", problem.text);
        print_usage(argv[0]);
        return EXIT_USAGE;
    }
    if (line.action == Action::help) {
        print_help(argv[0]);
        return 0;
    }
    if (line.action == Action::version) {
        printf("sandbox %s\n", SANDBOX_VERSION);
        return 0;
    }
    // A job server that make or cargo announce to the command stays open for
    // it, named or not. The set has room for both pipes beyond what the
    // command line may name.
    const char* const job_server_variables[] = {"MAKEFLAGS", "CARGO_MAKEFLAGS"};
    for (const char* name : job_server_variables) {
        int fds[2] = {-1, -1};
        if (!find_jobserver_fds(getenv(name), &fds[0], &fds[1])) continue;
        for (int fd : fds) {
            if (is_pipe(fd) && fd != line.log_fd && fd != line.policy_fd) (void)keep_descriptor(&line.kept, fd);
        }
    }

    // Lives as long as the launcher and, forked, the supervisor.
    std::string blob;
    std::string why;
    if (!read_policy_blob(line, &blob, &why)) {
        say("%s", why.c_str());
        return EXIT_USAGE;
    }
    static Policy policy;
    switch (decode_policy(blob.c_str(), &policy)) {
    case PolicyError::none: break;
    case PolicyError::no_memory: say("out of memory while decoding the policy"); return EXIT_NO_MEMORY;
    case PolicyError::bad_pattern: say_bad_pattern(policy); return EXIT_BAD_PATTERN;
    }

    // A sandbox around this one that offers nesting judges the command by
    // this policy too; its supervisor keeps the log, and judges, never
    // merely records.
    const bool nested = prctl(k_pr_sandbox_nest, k_nest_query, 0, 0, 0) == 0;
    if (nested && line.audit) {
        say("--audit cannot be used inside another sandbox: its supervisor judges this policy");
        return EXIT_USAGE;
    }
    if (nested && line.log_to != LogTo::none) {
        say("inside another sandbox, refusals are logged by the sandbox around this one, not here");
        line.log_to = LogTo::none;
    }

    static RefusalLog log{};
    char log_problem[256];
    if (!open_refusal_log(line, &log, log_problem, sizeof(log_problem))) {
        say("%s", log_problem);
        return EXIT_USAGE;
    }
    // Shared with the command's process until its execution succeeds.
    ExecRefusalNote* note = nullptr;
    if (!line.quiet) {
        void* shared =
            mmap(nullptr, sizeof(ExecRefusalNote), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared != MAP_FAILED) note = static_cast<ExecRefusalNote*>(shared);
    }

    int status_pipe[2];
    if (FAULT_AT("pipe2") || pipe2(status_pipe, O_CLOEXEC) != 0) return say_start_failure(EXIT_PIPE_OR_MASK);

    const StartOptions options = {log.fd >= 0 ? &log : nullptr, line.audit, note, blob.c_str(), nested,
                                  line.judging_threads};
    pid_t supervisor = FAULT_AT("fork-supervisor") ? -1 : fork();
    if (supervisor < 0) return say_start_failure(EXIT_FORK_SUPERVISOR);
    if (supervisor == 0) {
        run_supervisor(&policy, &line.kept, status_pipe[0], status_pipe[1], &argv[line.command], options);
    }
    close(status_pipe[1]);
    if (log.fd >= 0) close(log.fd);

    int pid = -1;
    if (!read_full(status_pipe[0], &pid) || pid < 1) return say_start_failure(supervisor_exit(supervisor, EXIT_NO_PID));

    // Final before the handlers that read it exist.
    g_sandbox = {pid, static_cast<int>(syscall(k_nr_pidfd_open, pid, 0)), supervisor};
    install_forwarding();

    int status = 0;
    if (!read_full(status_pipe[0], &status)) {
        forward_signal(SIGKILL);
        return say_start_failure(supervisor_exit(supervisor, EXIT_NO_STATUS));
    }
    waitpid(supervisor, nullptr, WNOHANG);
    return map_wait_status(status);
}
