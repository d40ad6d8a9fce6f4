#include "launcher/setup.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "base/exit_status.h"
#include "base/faults.h"
#include "base/io.h"
#include "base/nest_request.h"
#include "launcher/filter.h"
#include "launcher/handoff.h"
#include "launcher/landlock_bound.h"
#include "launcher/messages.h"
#include "supervisor/nesting.h"
#include "supervisor/notify_loop.h"

namespace {

// Listener channel ends.
constexpr int k_end_supervisor = 0;
constexpr int k_end_child = 1;

// The listener travels by sendmsg, which the filter traps. A thread started
// before the filter exists is not under it: it sends the listener for the
// filtered thread, which would otherwise wait on a notification that nobody
// can receive yet.
struct Handoff {
    int channel;
    int pipe[2];  // the filtered thread passes the listener (or -1) here
    bool sent;
};

void* send_listener_unfiltered(void* argument) {
    Handoff* handoff = static_cast<Handoff*>(argument);
    int listener = -1;
    handoff->sent = false;
    if (read_full(handoff->pipe[0], &listener) && listener >= 0 && !FAULT_AT("send-listener")) {
        handoff->sent = send_listener(handoff->channel, listener);
    }
    return nullptr;
}

// The command could not be run: said once its last attempt has failed.
void say_exec_failure(const char* command, int error, const ExecRefusalNote* note) {
    const bool refused = note != nullptr && note->text[0] != 0;
    if (error == ENOENT && refused) {
        // A policy that makes hidden paths missing refused it as such.
        say("cannot run '%s': not found: refused by the policy: %s", command, note->text);
    } else if (error == ENOENT) {
        say("cannot run '%s': not found%s", command, strchr(command, '/') == nullptr ? " on PATH" : "");
    } else if ((error == EACCES || error == EPERM) && refused) {
        say("cannot run '%s': refused by the policy: %s", command, note->text);
    } else {
        say("cannot run '%s': %s", command, strerror(error));
    }
}

// The one-byte go-ahead from the supervisor (or keeper) to the command's
// process: true when the byte crossed.
bool send_go_ahead(int fd) {
    const char ack = 'A';
    ssize_t put;
    do {
        put = write(fd, &ack, 1);
    } while (put < 0 && errno == EINTR);
    return put == 1;
}

bool wait_go_ahead(int fd) {
    char ack = 0;
    ssize_t got;
    do {
        got = read(fd, &ack, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

// A crash would have the kernel write a core file into the working
// directory, a write no rule judges. The hard limit too: raising it again
// takes CAP_SYS_RESOURCE.
void limit_core_size() {
    const rlimit no_core = {0, 0};
    if (FAULT_AT("core-limit") || setrlimit(RLIMIT_CORE, &no_core) != 0) {
        say("cannot confine the command: its core-file limit cannot be set to 0: %s", strerror(errno));
        _exit(EXIT_FILTER);
    }
}

[[noreturn]] void run_sandboxed_child(const sigset_t* saved_mask, int channel[2], int status_write,
                                      const KeptDescriptors* kept, int bound, char** command,
                                      const StartOptions& options) {
    sigprocmask(SIG_SETMASK, saved_mask, nullptr);
    close(channel[k_end_supervisor]);
    close(status_write);

    limit_core_size();

    // The caller's descriptors go now: no other thread exists yet that could
    // be using one, and no filter, under which the fallback's open of
    // /proc/self/fd would be judged by the policy. The channel end is still
    // needed; the descriptors made below are this process's own, closed by
    // it before the exec.
    KeptDescriptors keep = *kept;
    if (!keep_descriptor(&keep, channel[k_end_child]) || (bound >= 0 && !keep_descriptor(&keep, bound))) {
        say("cannot confine the command: too many kept descriptors");
        _exit(EXIT_FILTER);
    }
    close_unkept_descriptors(&keep);
    // The kernel's bound comes before the filter, whose calls it does not
    // need, and after the descriptors it was built from are settled. Where
    // it cannot be entered, the policy alone holds, as on kernels without.
    if (bound >= 0) {
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) (void)enter_kernel_bound(bound);
        close(bound);
    }

    Handoff handoff = {channel[k_end_child], {-1, -1}, false};
    pthread_t sender;
    if (pipe2(handoff.pipe, O_CLOEXEC) != 0 ||
        pthread_create(&sender, nullptr, send_listener_unfiltered, &handoff) != 0) {
        _exit(EXIT_SEND_LISTENER);
    }

    // Only this thread is filtered; everything it starts inherits the filter.
    // When refusals are logged the supervisor makes them, so that it can
    // say so.
    const Refusals refusals = options.log != nullptr ? Refusals::by_supervisor : Refusals::in_filter;
    errno = 0;
    int listener = FAULT_AT("filter") ? -1 : install_filter(refusals);
    const int filter_error = errno;
    // Both ends of the pipe stay open here and it is empty, so the four
    // bytes always fit; the sender reports its part through handoff.sent.
    (void)write_full(handoff.pipe[1], &listener);
    pthread_join(sender, nullptr);
    if (listener < 0) {
        if (filter_error == EBUSY) {
            say("cannot run under another system-call supervisor that offers no nesting: a process tree has one "
                "supervisor");
        } else {
            say("cannot confine the command: the system-call filter was refused: %s", strerror(filter_error));
        }
        _exit(EXIT_FILTER);
    }
    // The supervisor, or with it gone the launcher, says this one.
    if (!handoff.sent) _exit(EXIT_SEND_LISTENER);
    close(listener);
    close(handoff.pipe[0]);
    close(handoff.pipe[1]);

    // None of the calls up to the exec is trapped, so the handshake never
    // waits on itself.
    if (!wait_go_ahead(channel[k_end_child]) || FAULT_AT("read-ack")) _exit(EXIT_READ_ACK);
    close(channel[k_end_child]);

    execvp(command[0], command);
    const int error = errno;
    say_exec_failure(command[0], error, options.note);
    _exit(error == ENOENT ? EXIT_NOT_FOUND : EXIT_EXEC_FAILED);
}

void redirect_to_dev_null() {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return;
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
}

[[noreturn]] void fail_with_child(pid_t child, int status) {
    kill(child, SIGKILL);
    _exit(status);
}

// No listener came. When the command's process ended on its own failure it
// has said why; its end is then relayed as the status the launcher reports,
// so that the launcher does not say it again.
[[noreturn]] void fail_to_receive(pid_t child, int status_write) {
    kill(child, SIGKILL);
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    const bool said = reaped == child && WIFEXITED(status) && WEXITSTATUS(status) == EXIT_FILTER;
    if (said) {
        const int relayed = EXIT_RECV_LISTENER << 8;
        (void)write_full(status_write, &relayed);
    }
    _exit(EXIT_RECV_LISTENER);
}

// Inside another sandbox: its supervisor judges the command's calls by this
// policy as well, for every descendant of this process, the keeper. Orphans
// of the command's tree come to the keeper, which stays until the last is
// gone, so that none of them leaves the policy's reach while they run.
[[noreturn]] void run_keeper(const KeptDescriptors* kept, int status_write, char** command,
                             const StartOptions& options) {
    sigset_t chld;
    sigset_t saved_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &chld, &saved_mask) != 0) _exit(EXIT_PIPE_OR_MASK);
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0) _exit(EXIT_PIPE_OR_MASK);

    const pid_t child = fork();
    if (child < 0) _exit(EXIT_FORK_CHILD);
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
        close(go[1]);
        close(status_write);
        limit_core_size();
        KeptDescriptors keep = *kept;
        if (!keep_descriptor(&keep, go[0])) _exit(EXIT_FILTER);
        close_unkept_descriptors(&keep);
        // The command runs only once the policy judges it.
        if (!wait_go_ahead(go[0])) _exit(EXIT_READ_ACK);
        close(go[0]);
        execvp(command[0], command);
        const int error = errno;
        say_exec_failure(command[0], error, nullptr);
        _exit(error == ENOENT ? EXIT_NOT_FOUND : EXIT_EXEC_FAILED);
    }
    close(go[0]);
    int child_pid = child;
    if (!write_full(status_write, &child_pid)) fail_with_child(child, EXIT_WRITE_PID);

    const size_t length = strlen(options.policy_blob);
    if (prctl(k_pr_sandbox_nest, k_nest_attach, options.policy_blob, length, 0) != 0) {
        say("cannot confine the command: the sandbox around this one refused its policy: %s", strerror(errno));
        kill(child, SIGKILL);
        const int relayed = EXIT_RECV_LISTENER << 8;
        (void)write_full(status_write, &relayed);
        _exit(EXIT_RECV_LISTENER);
    }
    // Out of the caller's session, as a supervisor is: signals meant for the
    // command's process group do not end the keeper.
    setsid();
    signal(SIGPIPE, SIG_IGN);
    if (!send_go_ahead(go[1])) fail_with_child(child, EXIT_WRITE_ACK);
    close(go[1]);
    redirect_to_dev_null();

    for (;;) {
        int status = 0;
        const pid_t reaped = waitpid(-1, &status, 0);
        if (reaped < 0 && errno == EINTR) continue;
        if (reaped < 0) _exit(0);
        if (reaped == child) {
            (void)write_full(status_write, &status);
            close(status_write);
        }
    }
}

}  // namespace

void run_supervisor(const Policy* policy, const KeptDescriptors* kept, int status_read, int status_write,
                    char** command, const StartOptions& options) {
    close(status_read);
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    if (options.nested) run_keeper(kept, status_write, command, options);

    sigset_t chld;
    sigset_t saved_mask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (FAULT_AT("block-sigchld") || sigprocmask(SIG_BLOCK, &chld, &saved_mask) != 0) _exit(EXIT_PIPE_OR_MASK);

    int channel[2];
    if (FAULT_AT("socketpair") || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        _exit(EXIT_SOCKETPAIR);
    }

    // Built here, where nothing is bound yet; entered by the command's
    // process.
    // An audit lets through what the policy refuses: the bound, which is
    // the policy's shape, would refuse it.
    const bool bounded = !options.audit && !FAULT_AT("no-kernel-bound");
    const KernelBound bound = bounded ? prepare_kernel_bound(*policy, *kept) : KernelBound{};
    pid_t child = FAULT_AT("fork-child") ? -1 : fork();
    if (child < 0) _exit(EXIT_FORK_CHILD);
    if (child == 0) run_sandboxed_child(&saved_mask, channel, status_write, kept, bound.ruleset, command, options);
    if (bound.ruleset >= 0) close(bound.ruleset);
    // The tree runs as the same user: without this it could attach to the
    // supervisor or copy its listener and answer its own calls.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    close(channel[k_end_child]);

    int child_pid = child;
    if (FAULT_AT("supervisor-dies-before-pid")) raise(SIGKILL);
    if (FAULT_AT("write-pid") || !write_full(status_write, &child_pid)) fail_with_child(child, EXIT_WRITE_PID);
    if (FAULT_AT("supervisor-dies-after-pid")) raise(SIGKILL);

    int listener = receive_listener(channel[k_end_supervisor]);
    if (listener < 0 || FAULT_AT("recv-listener")) fail_to_receive(child, status_write);

    setsid();
    signal(SIGPIPE, SIG_IGN);
    redirect_to_dev_null();

    int sigfd = FAULT_AT("signalfd") ? -1 : signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigfd < 0) fail_with_child(child, EXIT_SIGNALFD);

    if (!send_go_ahead(channel[k_end_supervisor]) || FAULT_AT("write-ack")) fail_with_child(child, EXIT_WRITE_ACK);
    close(channel[k_end_supervisor]);

    // What the tree makes is recorded for the rest of the run: static, as
    // the loop never returns.
    static TreeObjects made{};
    if (options.log != nullptr) {
        char line[k_log_line_max];
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        write_log_line(options.log, line,
                       format_start_line(options.log->format, now, options.audit, command[0], options.policy_blob, line,
                                         sizeof(line)));
    }
    NotifyLoop loop;
    // The policies that sandboxes inside the tree add.
    static Attachments nested{};
    // Why a call is refused (its errno comes from it, and the log and the
    // person who started the command are told it) is each judging
    // thread's own record.
    loop.supervision = {policy, listener, {child, -1, getpid()}, &made, nullptr, &nested};
    loop.audit = options.audit;
    // Allowed opens and changes to the file system are carried out by the
    // supervisor where the kernel allows it; elsewhere they go ahead in the
    // caller.
    static OpenEmulation opens{};
    loop.opens = nullptr;
    if (!FAULT_AT("continue-opens") && start_open_emulation(&opens, listener)) {
        loop.opens = &opens;
        loop.supervision.ids_changed = &opens.ids_changed;
    }
    loop.judging_threads = options.judging_threads > 0 ? options.judging_threads : count_default_judging_threads();
    loop.signal_fd = sigfd;
    loop.status_write = status_write;
    loop.status_relayed = false;
    loop.child_reaped = false;
    loop.child_status = 0;
    loop.log = options.log;
    loop.note = options.note;
    serve_notifications(&loop);
}
