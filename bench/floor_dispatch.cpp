// Test-only dispatch for the benchmark: the cost floors of this design.
//
// SANDBOX_FLOOR_PATH 0: every trapped call is answered "continue" at once,
// the least a supervisor answering each notification can cost.
// SANDBOX_FLOOR_PATH 1: file calls get the least work that any path-checking
// supervisor must do (copy the path, read the base directory, confirm the
// call is pending, one realpath) and are then continued.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "launcher/arch.h"
#include "path/normalize.h"
#include "path/tracee_path.h"
#include "supervisor/dispatch.h"
#include "supervisor/file_calls.h"

#ifndef SANDBOX_FLOOR_PATH
#define SANDBOX_FLOOR_PATH 0
#endif

namespace {

CallId call_of(int nr) {
    for (int id = 0; id < CALL_COUNT; ++id) {
        if (native_nr(static_cast<CallId>(id)) == nr) return static_cast<CallId>(id);
    }
    return CALL_COUNT;
}

void touch_path(const Tracee* tracee, const PathOperand& operand) {
    char raw[k_path_size];
    if (operand.address == 0 || copy_tracee_path(tracee->pid, operand.address, raw) != 0) return;
    char absolute[k_path_size];
    if (raw[0] == '/') {
        snprintf(absolute, sizeof(absolute), "%s", raw);
    } else {
        char link[64];
        if (operand.dirfd == AT_FDCWD) {
            snprintf(link, sizeof(link), "/proc/%d/cwd", tracee->pid);
        } else {
            snprintf(link, sizeof(link), "/proc/%d/fd/%d", tracee->pid, operand.dirfd);
        }
        char base[k_path_size];
        ssize_t n = readlink(link, base, sizeof(base) - 1);
        if (n <= 0) return;
        base[n] = 0;
        int written = snprintf(absolute, sizeof(absolute), "%s/%s", base, raw);
        if (written < 0 || static_cast<size_t>(written) >= sizeof(absolute)) return;
    }
    if (!is_call_pending(tracee)) return;
    char resolved[PATH_MAX];
    if (realpath(absolute, resolved) == nullptr) return;
}

}  // namespace

int dispatch_notification(const Policy* policy, int listener, const seccomp_notif* notif, int child_pid,
                          int supervisor_pid) {
    if (SANDBOX_FLOOR_PATH) {
        const FileCall* call = find_file_call(call_of(notif->data.nr));
        if (call != nullptr) {
            Tracee tracee = {policy, listener, notif->id, static_cast<int>(notif->pid), child_pid, supervisor_pid};
            const uint64_t* args = reinterpret_cast<const uint64_t*>(notif->data.args);
            uint64_t open_flags = call->slot[0].flags_arg >= 0 ? args[call->slot[0].flags_arg] : 0;
            PathOperand operand = make_operand(call->slot[0], args, open_flags, k_o_nofollow);
            touch_path(&tracee, operand);
        }
    }
    return k_answer_continue;
}
