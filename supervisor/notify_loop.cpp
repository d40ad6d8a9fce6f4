#include "supervisor/notify_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "base/call_table.h"
#include "base/io.h"
#include "base/kernel_abi.h"
#include "rules/verdict_text.h"
#include "supervisor/dispatch.h"
#include "supervisor/helper_thread.h"
#include "supervisor/judged_walk.h"
#include "supervisor/nesting.h"
#include "supervisor/open_as.h"
#include "supervisor/open_workers.h"
#include "supervisor/performed_change.h"
#include "supervisor/performed_socket.h"
#include "supervisor/response.h"
#include "supervisor/sent_signal.h"

namespace {

constexpr int k_waiting_poll_ms = 100;

// A judging thread waits in the kernel while it judges: for the caller to
// take a descriptor it hands over, and for the file system (an open that
// truncates). More threads than processors keep the processors busy
// meanwhile.
constexpr int k_judging_threads_per_processor = 4;

void relay_status(NotifyLoop* loop, int status) {
    if (!loop->status_relayed) {
        // A failed write (the launcher is gone) is not retried: the status is
        // relayed at most once.
        (void)write_full(loop->status_write, &status);
        close(loop->status_write);
    }
    loop->status_relayed = true;
}

[[noreturn]] void shut_down(NotifyLoop* loop);

void reap_children(NotifyLoop* loop) {
    char scratch[128];
    ssize_t got;
    do {
        got = read(loop->signal_fd, scratch, sizeof(scratch));
    } while (got == static_cast<ssize_t>(sizeof(scratch)) || (got < 0 && errno == EINTR));

    int status = 0;
    pid_t pid;
    bool child_ended = false;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid != loop->supervision.tree.child) continue;
        loop->child_reaped = true;
        loop->child_status = status;
        child_ended = true;
    }
    if (!child_ended) return;
    // The command's process was the last of the tree (reaped, it no longer
    // holds the listener): the log is ended before its status goes out, so
    // that whoever reads the log once the command is done reads it whole.
    pollfd listener = {loop->supervision.listener, 0, 0};
    if (poll(&listener, 1, 0) == 1 && (listener.revents & POLLHUP)) shut_down(loop);
    relay_status(loop, loop->child_status);
}

bool is_execution(const CallRow& row) {
    return row.judge == Judge::paths && row.paths[0].access == ACCESS_EXEC;
}

// What a refused call is told to the log and, for the command's own
// execution, to the person who started it.
void report_refusals(NotifyLoop* loop, const CallRefusals& refusals, const seccomp_notif& notif, const Answer& answer,
                     const Policy* policy) {
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    const char* name = row != nullptr ? row->name : "unknown";
    const pid_t pid = static_cast<pid_t>(notif.pid);
    if (loop->note != nullptr && answer.error != 0 && pid == loop->supervision.tree.child && row != nullptr &&
        is_execution(*row)) {
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

// What a judging thread has to itself: the record of the call it judges,
// and why it is refused.
struct JudgingThread {
    NotifyLoop* loop;
    Supervision supervision;  // the loop's, with this thread's records
    JudgedOpen judged;
    CallRefusals refusals;
    // Odd while the thread hands over a descriptor that may write: until
    // its own reference is dropped, executing the file fails (ETXTBSY).
    std::atomic<uint32_t> handover_phase{0};
};

// Static: the loop never returns, and no judgement allocates.
JudgingThread g_judging[k_judging_threads_max]{};
std::atomic<int> g_judging_count{0};  // started, when more than one

// How long an execution waits for the handovers under way: one whose
// caller is stopped would otherwise hold it for as long.
constexpr int k_handover_wait_steps = 2000;
constexpr long k_handover_wait_step_ns = 25000;

// A judging thread met an error it cannot go on from: the keeper ends the
// run rather than leave calls unanswered.
std::atomic<bool> g_judging_broken{false};
int g_wake = -1;  // the keeper's eventfd

// An execution goes ahead only once the descriptors that other judging
// threads were handing over when it was judged are the caller's alone: the
// program that wrote a file, closed it and ran it would otherwise find it
// busy. A lone thread hands over nothing while it judges.
void wait_for_writable_handovers(const JudgingThread* self) {
    const int count = g_judging_count.load();
    uint32_t seen[k_judging_threads_max];
    for (int i = 0; i < count; ++i) seen[i] = g_judging[i].handover_phase.load();
    for (int i = 0; i < count; ++i) {
        if (&g_judging[i] == self || (seen[i] & 1) == 0) continue;
        for (int step = 0; step < k_handover_wait_steps && g_judging[i].handover_phase.load() == seen[i]; ++step) {
            const timespec pause = {0, k_handover_wait_step_ns};
            nanosleep(&pause, nullptr);
        }
    }
}

// An allowed open, carried out on what was judged, with the caller's
// credentials. One that would wait goes to a worker, which answers it.
// Opens for itself: an O_PATH open, whose descriptor the kernel does not
// hand over and which reads and writes nothing (what is done through it is
// judged by what it names), and a caller whose credentials the supervisor
// cannot take.
bool carry_out_open(NotifyLoop* loop, JudgingThread* self, const CallRow& row, const seccomp_notif& notif) {
    const JudgedOpen& judged = self->judged;
    OpenEmulation* opens = loop->opens;
    if (!opens->hands_over || row.open_form == OpenForm::none || !is_recorded(judged) || (judged.how.flags & O_PATH)) {
        return false;
    }
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
    const bool writes = (judged.how.flags & O_ACCMODE) != O_RDONLY;
    if (writes) self->handover_phase.fetch_add(1);
    hand_over(listener, notif.id, result, cloexec, judged.targets[0].descriptor ? nullptr : judged.targets[0].path);
    if (writes) self->handover_phase.fetch_add(1);
    return true;
}

// An allowed change to the file system, carried out on what was judged,
// with the caller's credentials; *answer then holds its result. A caller
// whose credentials the supervisor cannot take makes the call itself.
bool carry_out_change(NotifyLoop* loop, const JudgedOpen& judged, const CallRow& row, const seccomp_notif& notif,
                      Answer* answer) {
    OpenEmulation* opens = loop->opens;
    if (row.change == ChangeForm::none || !is_recorded(judged)) return false;
    const pid_t caller = static_cast<pid_t>(notif.pid);
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
    Credentials theirs;
    switch (judge_opener_ids(*opens, caller, &theirs)) {
    case OpenerIds::own: {
        // The caller's data for the call, read once: it is not read again
        // when the change is carried out.
        ChangeInputs inputs;
        read_change_inputs(row, args, judged, caller, false, &inputs);
        *answer = perform_change(row, args, judged, caller, inputs);
        return true;
    }
    case OpenerIds::callers: return perform_change_as(row, args, judged, caller, theirs, opens->own, answer);
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

void shut_down(NotifyLoop* loop) {
    close(loop->supervision.listener);
    if (loop->log != nullptr) {
        char line[k_log_line_max];
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        write_log_line(loop->log, line, format_end_line(loop->log->format, now, *loop->log, line, sizeof(line)));
    }
    if (!loop->status_relayed) {
        int status = loop->child_status;
        if (!loop->child_reaped) {
            while (waitpid(loop->supervision.tree.child, &status, 0) < 0 && errno == EINTR) {}
        }
        relay_status(loop, status);
    }
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    _exit(0);
}

void report_broken() {
    g_judging_broken.store(true);
    const uint64_t one = 1;
    (void)write(g_wake, &one, sizeof(one));
}

// Judges one received call and answers it, unless a worker answers it.
void judge_and_answer(JudgingThread* self, const seccomp_notif& notif) {
    NotifyLoop* loop = self->loop;
    const Policy* judged_by = nullptr;
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    const pid_t caller = static_cast<pid_t>(notif.pid);
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
    HeldTarget held;
    if (loop->opens != nullptr) {
        clear_judged_open(&self->judged);
        // Held before it is judged: what is judged is then the process
        // the pidfd names, or one that came after it.
        if (row != nullptr && row->signal != SignalForm::none) hold_signal_target(*row, args, caller, &held);
    }
    const Answer answer = dispatch_in_scopes(self->supervision, notif, &judged_by);
    // Said before the answer: the command's process reads the note
    // once its execution has failed.
    if (self->refusals.count > 0 && !self->refusals.gone)
        report_refusals(loop, self->refusals, notif, answer, judged_by);
    Answer given = answer;
    const int listener = self->supervision.listener;
    if (loop->opens != nullptr && row != nullptr && is_continue(answer)) {
        if (carry_out_open(loop, self, *row, notif)) return;
        if (is_execution(*row)) wait_for_writable_handovers(self);
        if (held.pidfd >= 0 && may_send_for(*loop->opens, caller)) {
            given = send_held_signal(*row, args, caller, held);
        } else if (self->judged.has_destination) {
            const SocketCallStep step = carry_out_socket_call(listener, *row, notif, self->judged, &given);
            if (step == SocketCallStep::queued) return;
        } else {
            (void)carry_out_change(loop, self->judged, *row, notif, &given);
        }
    }
    seccomp_notif_resp resp;
    fill_response(notif.id, given, &resp);
    // A failed send means the tracee went away while it was judged.
    ioctl(listener, k_ioctl_notif_send, &resp);
}

// Serves the run: judges its calls when self is given, and keeps it when
// keeps is set. Every thread waits in poll, where the kernel wakes a
// waiter on the caller's processor (6.6); one woken in the receive would
// be woken wherever the scheduler puts it, a wake-up that costs a
// processor leaving its idle state. A judging thread that another beat to
// the call it woke for waits in the receive for the next; a keeper never
// receives unless it judges alone, so that it can always end the run.
void serve(NotifyLoop* loop, JudgingThread* self, bool keeps) {
    const int listener = loop->supervision.listener;
    seccomp_notif notif;
    pollfd fds[3];
    fds[0].fd = listener;
    // A keeper that does not judge wakes only when the listener hangs up.
    fds[0].events = self != nullptr ? POLLIN : 0;
    fds[1].fd = loop->signal_fd;
    fds[1].events = POLLIN;
    fds[2].fd = g_wake;
    fds[2].events = POLLIN;
    const nfds_t watched = !keeps ? 1 : g_wake >= 0 ? 3 : 2;

    for (;;) {
        fds[0].revents = fds[1].revents = fds[2].revents = 0;
        // While opens wait on workers, the keeper looks after them: an open
        // whose caller went away would otherwise wait for good.
        const bool waiting = keeps && loop->opens != nullptr && has_waiting_opens();
        if (waiting) tend_waiting_opens(listener);
        if (poll(fds, watched, waiting ? k_waiting_poll_ms : -1) < 0) {
            if (errno == EINTR) continue;
            if (keeps) shut_down(loop);
            report_broken();
            return;
        }
        if (keeps && (fds[1].revents & POLLIN)) reap_children(loop);
        if (keeps && (fds[2].revents & POLLIN)) {
            uint64_t count;
            (void)read(g_wake, &count, sizeof(count));
            if (g_judging_broken.load()) shut_down(loop);
        }
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                if (keeps) shut_down(loop);
                return;
            }
            continue;
        }
        memset(&notif, 0, sizeof(notif));
        if (ioctl(listener, k_ioctl_notif_recv, &notif) != 0) {
            if (errno == ENOENT || errno == EINTR) continue;
            if (keeps) shut_down(loop);
            report_broken();
            return;
        }
        judge_and_answer(self, notif);
    }
}

void* run_judging_thread(void* argument) {
    // Creations set the umask: a thread of its own sets it without a lock.
    (void)take_own_umask();
    JudgingThread* self = static_cast<JudgingThread*>(argument);
    serve(self->loop, self, false);
    return nullptr;
}

void prepare_judging_thread(NotifyLoop* loop, JudgingThread* self) {
    self->loop = loop;
    self->supervision = loop->supervision;
    self->refusals.audit = loop->audit;
    self->supervision.refusals = &self->refusals;
    self->supervision.opened = loop->opens != nullptr ? &self->judged : nullptr;
}

}  // namespace

int count_default_judging_threads() {
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return 1;
    const int processors = CPU_COUNT(&allowed) < 1 ? 1 : CPU_COUNT(&allowed);
    const int count = processors * k_judging_threads_per_processor;
    return count > k_judging_threads_max ? k_judging_threads_max : count;
}

void serve_notifications(NotifyLoop* loop) {
    uint64_t sync_flags = k_notif_fd_sync_wake_up;
    ioctl(loop->supervision.listener, k_ioctl_notif_set_flags, sync_flags);
    int wanted = loop->judging_threads;
    if (wanted > k_judging_threads_max) wanted = k_judging_threads_max;
    int started = 0;
    if (wanted > 1) {
        g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (g_wake >= 0) {
            wake_for_waiting_opens(g_wake);
            for (int i = 0; i < wanted; ++i) {
                prepare_judging_thread(loop, &g_judging[i]);
                // The stack the main thread would have: a judgement's
                // buffers live on it.
                if (!start_helper_thread(run_judging_thread, &g_judging[i], 0)) break;
                ++started;
                g_judging_count.store(started);
            }
        }
    }
    if (started > 0) serve(loop, nullptr, true);
    // One loop judges and keeps, as it does with no other judging thread.
    JudgingThread* self = &g_judging[0];
    prepare_judging_thread(loop, self);
    serve(loop, self, true);
    _exit(0);
}
