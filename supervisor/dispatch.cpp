#include "supervisor/dispatch.h"

#include <errno.h>

#include "base/call_table.h"
#include "rules/signal_rules.h"
#include "supervisor/file_calls.h"
#include "supervisor/pending_call.h"
#include "supervisor/socket_check.h"

namespace {

// A process or descriptor number: the low 32 bits, as the kernel takes them.
int low_int_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

// Every judged answer leaves through here: refused unless allowed.
Answer answer(bool allowed, int refusal) {
    return allowed ? k_answer_continue : Answer{refusal, false};
}

constexpr Answer k_unhandled = {EPERM, true};

}  // namespace

Answer dispatch_notification(const Policy* policy, int listener, const SandboxTree& tree, const seccomp_notif& notif) {
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    if (row == nullptr) return k_unhandled;
    const PendingCall call = {policy, listener, notif.id, static_cast<pid_t>(notif.pid), tree};
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);

    switch (row->judge) {
    case Judge::none: break;
    case Judge::paths: return answer(check_file_call(call, *row, args), EACCES);
    case Judge::refuse: return answer(false, EPERM);
    case Judge::signal: return answer(is_signal_allowed_to(tree, call.pid, low_int_of(args[0])), EPERM);
    case Judge::pidfd_signal: return answer(is_pidfd_signal_allowed(tree, call.pid, low_int_of(args[0])), EPERM);
    case Judge::connect: return answer(check_sockaddr(call, args[1], args[2]), EACCES);
    // No destination: the socket's own peer, judged when it connected.
    case Judge::sendto: return answer(args[4] == 0 || check_sockaddr(call, args[4], args[5]), EACCES);
    case Judge::sendmsg: return answer(check_message_destinations(call, args[1], 1, k_msghdr_size), EACCES);
    case Judge::sendmmsg: return answer(check_message_destinations(call, args[1], args[2], k_mmsghdr_size), EACCES);
    }
    return k_unhandled;
}
