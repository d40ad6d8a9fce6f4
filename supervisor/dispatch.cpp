#include "supervisor/dispatch.h"

#include <errno.h>

#include "base/call_table.h"
#include "rules/process_rules.h"
#include "supervisor/file_calls.h"
#include "supervisor/ipc_calls.h"
#include "supervisor/path_check.h"
#include "supervisor/pending_call.h"
#include "supervisor/process_calls.h"
#include "supervisor/socket_check.h"

namespace {

// A process or descriptor number: the low 32 bits, as the kernel takes them.
int low_int_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

// Every judged answer leaves through here: refused unless allowed.
Answer answer(bool allowed, int refusal) {
    return allowed ? k_answer_continue : Answer{refusal, false, 0, false};
}

constexpr Answer k_unhandled = {EPERM, false, 0, true};

}  // namespace

Answer dispatch_notification(const Supervision& supervision, const seccomp_notif& notif) {
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    if (row == nullptr) return k_unhandled;
    const PendingCall call = {supervision.policy, supervision.listener, notif.id, static_cast<pid_t>(notif.pid),
                              supervision.tree,   supervision.made};
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);

    switch (row->judge) {
    case Judge::none: break;
    case Judge::paths: return answer(check_file_call(call, *row, args), EACCES);
    case Judge::refuse: return answer(false, EPERM);
    case Judge::target_process: return answer(check_target(call, args[0]), EPERM);
    case Judge::target_pidfd: return answer(is_pidfd_target_allowed(call.tree, call.pid, low_int_of(args[0])), EPERM);
    case Judge::perf_event: return answer(check_perf_event(call, args), EPERM);
    case Judge::priority: return answer(check_priority(call, args), EPERM);
    case Judge::io_priority: return answer(check_io_priority(call, args), EPERM);
    case Judge::core_limit: return answer(check_core_limit(call, args), EPERM);
    case Judge::process_limit: return answer(check_process_limit(call, args), EPERM);
    case Judge::owner: return answer(check_owner(call, args), EPERM);
    case Judge::ioctl: return answer(check_ioctl(call, args), ioctl_refusal(args));
    case Judge::descriptor_write:
        return answer(check_tracee_descriptor(call, low_int_of(args[0]), ACCESS_WRITE), EACCES);
    case Judge::connect: return answer(check_sockaddr(call, args[1], args[2]), EACCES);
    case Judge::bind: return answer(check_bind(call, args[1], args[2]), EACCES);
    // No destination: the socket's own peer, judged when it connected.
    case Judge::sendto:
        return answer(args[4] == 0 || check_sent_to(call, low_int_of(args[0]), args[4], args[5]), EACCES);
    case Judge::sendmsg:
        return answer(check_message_destinations(call, low_int_of(args[0]), args[1], 1, k_msghdr_size), EACCES);
    case Judge::sendmmsg:
        return answer(check_message_destinations(call, low_int_of(args[0]), args[1], args[2], k_mmsghdr_size), EACCES);
    case Judge::ipc_get: return perform_ipc_get(call, row->ipc, args);
    case Judge::ipc_id: return answer(check_ipc_id(call, *row, args), EACCES);
    case Judge::mq_open: return answer(check_mq_open(call, args), EACCES);
    case Judge::mq_unlink: return answer(check_mq_unlink(call, args), EACCES);
    }
    return k_unhandled;
}
