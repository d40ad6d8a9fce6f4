// Test-only dispatch for the benchmark: the cost floors of this design.
//
// SANDBOX_FLOOR_PATH 0: every trapped call is answered "continue" at once,
// the least a supervisor answering each notification can cost.
// SANDBOX_FLOOR_PATH 1: file calls get the least work that any path-checking
// supervisor must do (copy the path, read the base directory, confirm the
// call is pending, one realpath) and are then continued.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "base/call_table.h"
#include "path/normalize.h"
#include "path/operand.h"
#include "supervisor/dispatch.h"
#include "supervisor/file_calls.h"
#include "supervisor/pending_call.h"

#ifndef SANDBOX_FLOOR_PATH
#define SANDBOX_FLOOR_PATH 0
#endif

namespace {

void touch_path(const PendingCall& call, const PathOperand& operand) {
    char raw[k_path_size];
    if (operand.address == 0 || !copy_tracee_path(call.pid, operand.address, raw)) return;
    char absolute[k_path_size];
    if (raw[0] == '/') {
        memcpy(absolute, raw, strlen(raw) + 1);
    } else {
        char base[k_path_size];
        if (!read_base_directory(call.pid, operand.dirfd, base) || !join_absolute(base, raw, absolute)) return;
    }
    if (!is_call_pending(call)) return;
    char resolved[PATH_MAX];
    if (realpath(absolute, resolved) == nullptr) return;
}

}  // namespace

Answer dispatch_notification(const Supervision& supervision, const seccomp_notif& notif) {
    if (SANDBOX_FLOOR_PATH) {
        const CallRow* row = find_call(k_native_arch, notif.data.nr);
        if (row != nullptr && row->judge == Judge::paths) {
            const PendingCall call = {supervision.policy, supervision.listener, notif.id, static_cast<pid_t>(notif.pid),
                                      supervision.tree,   supervision.made,     nullptr};
            const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
            const PathArg& first = row->paths[0];
            uint64_t open_flags = first.access_from == AccessFrom::open_flags ? args[first.access_arg] : 0;
            touch_path(call, make_operand(first, args, open_flags, k_native.o_nofollow));
        }
    }
    return k_answer_continue;
}
