#include "supervisor/notify_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/call_table.h"
#include "base/io.h"
#include "base/kernel_abi.h"
#include "rules/verdict_text.h"
#include "supervisor/dispatch.h"
#include "supervisor/nesting.h"
#include "supervisor/open_as.h"
#include "supervisor/open_workers.h"
#include "supervisor/performed_change.h"
#include "supervisor/performed_socket.h"
#include "supervisor/response.h"
#include "supervisor/sent_signal.h"

namespace {

constexpr int k_waiting_poll_ms = 100;

void relay_status(NotifyLoop* loop, int status) {
    if (!loop->status_relayed) {
        // A failed write (the launcher is gone) is not retried: the status is
        // relayed at most once.
        (void)write_full(loop->status_write, &status);
        close(loop->status_write);
    }
    loop->status_relayed = true;
}

void reap_children(NotifyLoop* loop) {
    char scratch[128];
    ssize_t got;
    do {
        got = read(loop->signal_fd, scratch, sizeof(scratch));
    } while (got == static_cast<ssize_t>(sizeof(scratch)) || (got < 0 && errno == EINTR));

    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == loop->supervision.tree.child) relay_status(loop, status);
    }
}

// What a refused call is told to the log and, for the command's own
// execution, to the person who started it.
void report_refusals(NotifyLoop* loop, const seccomp_notif& notif, const Answer& answer, const Policy* policy) {
    const CallRefusals& refusals = *loop->supervision.refusals;
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    const char* name = row != nullptr ? row->name : "unknown";
    const pid_t pid = static_cast<pid_t>(notif.pid);
    if (loop->note != nullptr && answer.error != 0 && pid == loop->supervision.tree.child && row != nullptr &&
        row->judge == Judge::paths && row->paths[0].access == ACCESS_EXEC) {
        const Refusal& first = refusals.items[0];
        char why[k_reason_text_size];
        describe_refusal(policy, first, why, sizeof(why));
        const char* path = first.judged[0] != 0 ? first.judged : first.written;
        // A path and its sentence may be longer than the note: it is cut.
        const int written = snprintf(loop->note->text, sizeof(loop->note->text), "%.*s%s",
                                     static_cast<int>(k_path_size), path, path[0] != 0 ? ": " : "");
        const size_t at = written > 0 ? static_cast<size_t>(written) : 0;
        if (at < sizeof(loop->note->text)) {
            snprintf(loop->note->text + at, sizeof(loop->note->text) - at, "%.*s",
                     static_cast<int>(sizeof(loop->note->text) - at - 1), why);
        }
    }
    if (loop->log != nullptr) log_call_refusals(loop->log, policy, pid, name, answer.error, refusals);
}

// An allowed open, carried out on what was judged, with the caller's
// credentials. One that would wait goes to a worker, which answers it.
// Opens for itself: an O_PATH open, whose descriptor the kernel does not
// hand over and which reads and writes nothing (what is done through it is
// judged by what it names), and a caller whose credentials the supervisor
// cannot take.
bool carry_out_open(NotifyLoop* loop, const CallRow& row, const seccomp_notif& notif) {
    OpenEmulation* opens = loop->opens;
    if (!opens->hands_over || row.open_form == OpenForm::none || !is_recorded(opens->judged) ||
        (opens->judged.how.flags & O_PATH)) {
        return false;
    }
    const JudgedOpen& judged = opens->judged;
    const pid_t caller = static_cast<pid_t>(notif.pid);
    const int listener = loop->supervision.listener;
    const bool cloexec = (judged.how.flags & O_CLOEXEC) != 0;
    Credentials theirs;
    OpenResult result;
    switch (judge_opener_ids(*opens, caller, &theirs)) {
    case OpenerIds::own: result = open_judged(judged, caller); break;
    case OpenerIds::callers:
        if (!open_judged_as(judged, caller, theirs, opens->own, &result)) return false;
        // A worker would reopen with the supervisor's credentials.
        if (result.step == OpenStep::blocking) {
            close(result.fd);
            return false;
        }
        break;
    case OpenerIds::unknown: return false;
    }
    if (result.step == OpenStep::blocking) {
        if (!start_waiting_open(listener, {notif.id, result.fd, result.flags, cloexec})) {
            close(result.fd);
            hand_over(listener, notif.id, {OpenStep::failed, EAGAIN, -1, false, 0}, cloexec, nullptr);
        }
        return true;
    }
    hand_over(listener, notif.id, result, cloexec, judged.targets[0].descriptor ? nullptr : judged.targets[0].path);
    return true;
}

// An allowed change to the file system, carried out on what was judged,
// with the caller's credentials; *answer then holds its result. A caller
// whose credentials the supervisor cannot take makes the call itself.
bool carry_out_change(NotifyLoop* loop, const CallRow& row, const seccomp_notif& notif, Answer* answer) {
    OpenEmulation* opens = loop->opens;
    if (row.change == ChangeForm::none || !is_recorded(opens->judged)) return false;
    const pid_t caller = static_cast<pid_t>(notif.pid);
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
    Credentials theirs;
    switch (judge_opener_ids(*opens, caller, &theirs)) {
    case OpenerIds::own: {
        // The caller's data for the call, read once: it is not read again
        // when the change is carried out.
        ChangeInputs inputs;
        read_change_inputs(row, args, opens->judged, caller, false, &inputs);
        *answer = perform_change(row, args, opens->judged, caller, inputs);
        return true;
    }
    case OpenerIds::callers: return perform_change_as(row, args, opens->judged, caller, theirs, opens->own, answer);
    case OpenerIds::unknown: return false;
    }
    return false;
}

// Whether the supervisor may send an allowed signal for the caller: with
// other credentials than its own, the kernel's permission check would not
// be the caller's, and the call goes ahead in the caller.
bool may_send_for(const OpenEmulation& opens, pid_t caller) {
    Credentials theirs;
    return judge_opener_ids(opens, caller, &theirs) == OpenerIds::own;
}

[[noreturn]] void shut_down(NotifyLoop* loop) {
    close(loop->supervision.listener);
    if (loop->log != nullptr) {
        char line[k_log_line_max];
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        write_log_line(loop->log, line, format_end_line(loop->log->format, now, *loop->log, line, sizeof(line)));
    }
    if (!loop->status_relayed) {
        int status = 0;
        while (waitpid(loop->supervision.tree.child, &status, 0) < 0 && errno == EINTR) {}
        relay_status(loop, status);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    _exit(0);
}

}  // namespace

void serve_notifications(NotifyLoop* loop) {
    uint64_t sync_flags = k_notif_fd_sync_wake_up;
    ioctl(loop->supervision.listener, k_ioctl_notif_set_flags, sync_flags);
    seccomp_notif notif;
    seccomp_notif_resp resp;
    pollfd fds[2];
    fds[0].fd = loop->supervision.listener;
    fds[0].events = POLLIN;
    fds[1].fd = loop->signal_fd;
    fds[1].events = POLLIN;

    for (;;) {
        fds[0].revents = 0;
        fds[1].revents = 0;
        // While opens wait on workers, the loop looks after them: an open
        // whose caller went away would otherwise wait for good.
        const bool waiting = loop->opens != nullptr && has_waiting_opens();
        if (waiting) tend_waiting_opens(loop->supervision.listener);
        if (poll(fds, 2, waiting ? k_waiting_poll_ms : -1) < 0) {
            if (errno == EINTR) continue;
            shut_down(loop);
        }
        if (fds[1].revents & POLLIN) reap_children(loop);

        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) shut_down(loop);
            continue;
        }

        memset(&notif, 0, sizeof(notif));
        if (ioctl(loop->supervision.listener, k_ioctl_notif_recv, &notif) != 0) {
            if (errno == ENOENT || errno == EINTR) continue;
            shut_down(loop);
        }
        const Policy* judged_by = nullptr;
        const CallRow* row = find_call(k_native_arch, notif.data.nr);
        const pid_t caller = static_cast<pid_t>(notif.pid);
        const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
        HeldTarget held;
        if (loop->opens != nullptr) {
            clear_judged_open(&loop->opens->judged);
            // Held before it is judged: what is judged is then the process
            // the pidfd names, or one that came after it.
            if (row != nullptr && row->signal != SignalForm::none) hold_signal_target(*row, args, caller, &held);
        }
        const Answer answer = dispatch_in_scopes(loop->supervision, notif, &judged_by);
        // Said before the answer: the command's process reads the note
        // once its execution has failed.
        const CallRefusals* refusals = loop->supervision.refusals;
        if (refusals != nullptr && refusals->count > 0 && !refusals->gone)
            report_refusals(loop, notif, answer, judged_by);
        Answer given = answer;
        if (loop->opens != nullptr && row != nullptr && is_continue(answer)) {
            if (carry_out_open(loop, *row, notif)) continue;
            if (held.pidfd >= 0 && may_send_for(*loop->opens, caller)) {
                given = send_held_signal(*row, args, caller, held);
            } else if (loop->opens->judged.has_destination) {
                const SocketCallStep step =
                    carry_out_socket_call(loop->supervision.listener, *row, notif, loop->opens->judged, &given);
                if (step == SocketCallStep::queued) continue;
            } else {
                (void)carry_out_change(loop, *row, notif, &given);
            }
        }
        fill_response(notif.id, given, &resp);
        // A failed send means the tracee went away while it was judged.
        ioctl(loop->supervision.listener, k_ioctl_notif_send, &resp);
    }
}
