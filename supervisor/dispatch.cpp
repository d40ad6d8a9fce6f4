#include "supervisor/dispatch.h"

#include <errno.h>

#include "base/call_table.h"
#include "proc/process_tree.h"
#include "rules/process_rules.h"
#include "supervisor/file_calls.h"
#include "supervisor/ipc_calls.h"
#include "supervisor/judged_open.h"
#include "supervisor/nesting.h"
#include "supervisor/path_check.h"
#include "supervisor/pending_call.h"
#include "supervisor/process_calls.h"
#include "supervisor/refusal.h"
#include "supervisor/socket_check.h"

namespace {

// A process or descriptor number: the low 32 bits, as the kernel takes them.
int low_int_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

// The rule a judge refuses by, and the argument that names its target,
// for a refusal its check did not describe itself.
struct JudgeRule {
    const char* rule;
    int8_t target_arg;
};

JudgeRule rule_of(Judge judge) {
    switch (judge) {
    case Judge::refuse: return {"refused_call", k_no_arg};
    case Judge::target_process: return {"outside_tree", 0};
    case Judge::target_pidfd: return {"outside_tree", k_no_arg};
    case Judge::perf_event: return {"outside_tree", 1};
    case Judge::priority:
    case Judge::io_priority: return {"outside_tree", 1};
    case Judge::core_limit: return {"core_limit", k_no_arg};
    case Judge::process_limit: return {"process_limit", 0};
    case Judge::owner: return {"outside_tree", 2};
    case Judge::ipc_id: return {"not_tree_object", 0};
    default: return {"refused", k_no_arg};
    }
}

// Every judged answer leaves through here: refused unless allowed. A
// refusal no check described is kept as the judge's own.
Answer answer(const PendingCall& call, const CallRow& row, const uint64_t* args, bool allowed, int refusal) {
    if (allowed) return k_answer_continue;
    CallRefusals* refusals = call.refusals;
    if (refusals != nullptr && refusals->count == 0 && !refusals->gone) {
        const JudgeRule judged = rule_of(row.judge);
        const long target = judged.target_arg == k_no_arg ? -1 : low_int_of(args[judged.target_arg]);
        (void)refuse_for_rule(refusals, ACCESS_STAT, judged.rule, "", target);
    }
    return Answer{refusal, false, 0, false};
}

// The calls refused with ENOSYS already reported, by any judging thread:
// programs fall back from them (clone3 at every thread or spawn), so once a
// run is enough.
std::atomic<uint8_t> g_fallbacks_said[32];

// A call the table refuses outright, which the filter left to the
// supervisor so that the log can say so. One that programs fall back from
// is said the first time.
Answer refuse_outright(CallRefusals* refusals, const CallRow& row, int error) {
    const size_t index = static_cast<size_t>(&row - k_calls);
    bool said = false;
    if (refusals != nullptr && error == ENOSYS && index / 8 < std::size(g_fallbacks_said)) {
        const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
        said = (g_fallbacks_said[index / 8].fetch_or(bit, std::memory_order_relaxed) & bit) != 0;
    }
    if (!said) (void)refuse_for_rule(refusals, ACCESS_STAT, "refused_call");
    return Answer{error, false, 0, false};
}

constexpr Answer k_unhandled = {EPERM, false, 0, true};

// The calls whose destination the supervisor connects or sends to itself.
bool is_destination_call(Judge judge) {
    return judge == Judge::connect || judge == Judge::sendto || judge == Judge::sendmsg || judge == Judge::sendmmsg;
}

}  // namespace

Answer dispatch_notification(const Supervision& supervision, const seccomp_notif& notif) {
    CallRefusals* refusals = supervision.refusals;
    if (refusals != nullptr) clear_refusals(refusals);
    const CallRow* row = find_call(k_native_arch, notif.data.nr);
    if (row == nullptr) {
        (void)refuse_for_rule(refusals, ACCESS_STAT, "unhandled");
        return k_unhandled;
    }
    // Opens and the changes the supervisor carries out record what they
    // were judged to reach.
    const bool carried_out =
        row->open_form != OpenForm::none || row->change != ChangeForm::none || is_destination_call(row->judge);
    const PendingCall call = {
        supervision.policy, supervision.listener, notif.id, static_cast<pid_t>(notif.pid),
        supervision.tree,   supervision.made,     refusals, carried_out ? supervision.opened : nullptr};
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif.data.args);
    // Each judgement of the call (one per nested policy) meets its
    // destination anew.
    if (call.opened != nullptr) call.opened->destination_next = 0;

    switch (row->filter) {
    case FilterRule::notify: break;
    case FilterRule::fail_enosys: return refuse_outright(refusals, *row, ENOSYS);
    case FilterRule::fail_eperm: return refuse_outright(refusals, *row, EPERM);
    case FilterRule::by_args:
        switch (decide_by_args(*row->args, args)) {
        case Outcome::notify: break;
        case Outcome::allow: return k_answer_continue;
        case Outcome::fail_enosys: return refuse_outright(refusals, *row, ENOSYS);
        case Outcome::fail_eperm: return refuse_outright(refusals, *row, EPERM);
        case Outcome::pretend: return Answer{0, true, 0, false};
        }
        break;
    }

    auto judged = [&](bool allowed, int refusal) { return answer(call, *row, args, allowed, refusal); };
    // The errno comes from what the check found: asked once it has run.
    auto judged_by_refusal = [&](bool allowed) {
        return answer(call, *row, args, allowed, refusal_error(call.policy, refusals, EACCES));
    };
    switch (row->judge) {
    case Judge::none: break;
    case Judge::paths: return judged_by_refusal(check_file_call(call, *row, args));
    case Judge::refuse: return judged(false, EPERM);
    case Judge::target_process: {
        // A process that is not there is no secret: the kernel's answer.
        const bool allowed = check_target(call, args[0]);
        return judged(allowed, allowed || !has_no_process(low_int_of(args[0])) ? EPERM : ESRCH);
    }
    case Judge::target_pidfd: return judged(is_pidfd_target_allowed(call.tree, call.pid, low_int_of(args[0])), EPERM);
    case Judge::perf_event: return judged(check_perf_event(call, args), EPERM);
    case Judge::priority: return judged(check_priority(call, args), EPERM);
    case Judge::io_priority: return judged(check_io_priority(call, args), EPERM);
    case Judge::core_limit: return judged(check_core_limit(call, args), EPERM);
    case Judge::process_limit: return judged(check_process_limit(call, args), EPERM);
    case Judge::owner: return judged(check_owner(call, args), EPERM);
    case Judge::ioctl: return judged(check_ioctl(call, args), ioctl_refusal(args));
    case Judge::descriptor_write:
        return judged_by_refusal(check_tracee_descriptor(call, low_int_of(args[0]), ACCESS_WRITE));
    case Judge::connect: return judged_by_refusal(check_sockaddr(call, low_int_of(args[0]), args[1], args[2]));
    case Judge::bind: return judged_by_refusal(check_bind(call, args[1], args[2]));
    // No destination: the socket's own peer, judged when it connected.
    case Judge::sendto: {
        const bool allowed = args[4] == 0 || check_sent_to(call, low_int_of(args[0]), args[4], args[5]);
        // Sent to no one, as the kernel would: the caller's whole datagram.
        if (!allowed && is_dropped_datagram(refusals)) return Answer{0, true, static_cast<int64_t>(args[2]), false};
        return judged_by_refusal(allowed);
    }
    case Judge::sendmsg:
        return judged_by_refusal(check_message_destinations(call, low_int_of(args[0]), args[1], 1, k_msghdr_size));
    case Judge::sendmmsg:
        return judged_by_refusal(
            check_message_destinations(call, low_int_of(args[0]), args[1], args[2], k_mmsghdr_size));
    // Carried out: an error is the call's own, unless the check kept a refusal.
    case Judge::ipc_get: return perform_ipc_get(call, row->ipc, args);
    case Judge::ipc_id: return judged(check_ipc_id(call, *row, args), EACCES);
    case Judge::mq_open: return judged(check_mq_open(call, args), EACCES);
    case Judge::mq_unlink: return judged(check_mq_unlink(call, args), EACCES);
    case Judge::nest: return judge_nest_request(call, supervision.nested, args);
    case Judge::credentials:
        if (supervision.ids_changed != nullptr) supervision.ids_changed->store(true);
        return k_answer_continue;
    }
    (void)refuse_for_rule(refusals, ACCESS_STAT, "unhandled");
    return k_unhandled;
}
