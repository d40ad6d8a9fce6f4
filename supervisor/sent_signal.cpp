#include "supervisor/sent_signal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "proc/process_tree.h"
#include "supervisor/pending_call.h"

namespace {

pid_t pid_in(uint64_t arg) {
    return static_cast<pid_t>(static_cast<uint32_t>(arg));
}

bool is_thread_form(SignalForm form) {
    return form == SignalForm::thread || form == SignalForm::group_thread || form == SignalForm::queued_thread;
}

// Where the signal number and the siginfo are.
int signal_arg(SignalForm form) {
    return form == SignalForm::process || form == SignalForm::thread || form == SignalForm::queued ? 1 : 2;
}

}  // namespace

HeldTarget::~HeldTarget() {
    if (pidfd >= 0) close(pidfd);
}

void hold_signal_target(const CallRow& row, const uint64_t* args, pid_t caller, HeldTarget* held) {
    const SignalForm form = row.signal;
    const bool in_group = form == SignalForm::group_thread || form == SignalForm::queued_thread;
    const pid_t target = pid_in(args[in_group ? 1 : 0]);
    // Groups and broadcasts go ahead as judged, and so does a signal to the
    // caller's own thread group, which cannot exit while it calls.
    if (target <= 0 || target == caller) return;
    const pid_t own_group = thread_group_of(caller);
    if (target == own_group || (in_group && pid_in(args[0]) == own_group)) return;
    const unsigned flags = is_thread_form(form) ? k_pidfd_thread : 0;
    long fd;
    do {
        fd = syscall(k_nr_pidfd_open, target, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    held->pidfd = static_cast<int>(fd);
    held->group = in_group ? pid_in(args[0]) : 0;
    held->thread = target;
}

Answer send_held_signal(const CallRow& row, const uint64_t* args, pid_t caller, const HeldTarget& held) {
    const SignalForm form = row.signal;
    const int at = signal_arg(form);
    const int sig = static_cast<int>(static_cast<uint32_t>(args[at]));
    // tgkill's thread must still belong to the group it names.
    if (held.group > 0) {
        char task[48];
        snprintf(task, sizeof(task), "/proc/%d/task/%d", static_cast<int>(held.group), static_cast<int>(held.thread));
        struct stat status;
        if (stat(task, &status) != 0) return answer_error(ESRCH);
    }
    siginfo_t info;
    siginfo_t* given = nullptr;
    if (form == SignalForm::queued || form == SignalForm::queued_thread) {
        if (!read_tracee_mem(caller, args[at + 1], &info, sizeof(info))) return answer_error(EFAULT);
        // The kernel takes the signal from the argument, not the struct.
        info.si_signo = sig;
        given = &info;
    }
    const unsigned flags = is_thread_form(form) ? k_pidfd_signal_thread : 0;
    return answer_of_result(syscall(k_nr_pidfd_send_signal, held.pidfd, sig, given, flags));
}
