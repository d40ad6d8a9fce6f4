#include "supervisor/refusal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "rules/verdict_text.h"

void clear_refusals(CallRefusals* refusals) {
    refusals->gone = false;
    refusals->flag_kind = FlagKind::none;
    refusals->flags = 0;
    refusals->count = 0;
}

Refusal* add_refusal(CallRefusals* refusals, RefusalKind kind, Access access) {
    if (refusals == nullptr || refusals->count == k_max_refusals) return nullptr;
    Refusal* refusal = &refusals->items[refusals->count++];
    refusal->kind = kind;
    refusal->lifted = false;
    refusal->access = access;
    refusal->stage = -1;
    refusal->verdict = {false, STEP_HIDDEN, nullptr};
    refusal->socket = {false, SOCKET_OTHER_FAMILY, TARGET_NONE, 0, nullptr};
    refusal->rule = "";
    refusal->error = 0;
    refusal->answer = 0;
    refusal->dropped = false;
    refusal->fd = -1;
    refusal->target = -1;
    refusal->written[0] = 0;
    refusal->judged[0] = 0;
    refusal->program[0] = 0;
    return refusal;
}

bool refuse_gone(CallRefusals* refusals) {
    if (refusals != nullptr) refusals->gone = true;
    return false;
}

bool refuse_unreadable(CallRefusals* refusals, Access access, int error, const char* written, int answer) {
    Refusal* refusal = add_refusal(refusals, RefusalKind::unreadable, access);
    if (refusal != nullptr) {
        refusal->error = error;
        refusal->answer = answer;
        snprintf(refusal->written, sizeof(refusal->written), "%s", written);
    }
    return false;
}

bool refuse_for_rule(CallRefusals* refusals, Access access, const char* rule, const char* judged, long target) {
    Refusal* refusal = add_refusal(refusals, RefusalKind::other, access);
    if (refusal != nullptr) {
        refusal->rule = rule;
        refusal->target = target;
        snprintf(refusal->judged, sizeof(refusal->judged), "%s", judged);
    }
    return false;
}

bool is_liftable(const Refusal& refusal) {
    switch (refusal.kind) {
    case RefusalKind::path: return is_policy_step(refusal.verdict.step);
    case RefusalKind::socket: return is_policy_socket_step(refusal.socket.step);
    case RefusalKind::unresolved:
    case RefusalKind::unreadable:
    case RefusalKind::other: return false;
    }
    return false;
}

int refusal_error(const Policy* policy, const CallRefusals* refusals, int otherwise) {
    if (refusals == nullptr) return otherwise;
    for (uint8_t i = 0; i < refusals->count; ++i) {
        const Refusal& refusal = refusals->items[i];
        if (refusal.lifted) continue;
        if (refusal.answer != 0) return refusal.answer;
        if (refusal.kind == RefusalKind::unresolved && refusal.error != 0) return refusal.error;
        if (refusal.kind != RefusalKind::path) return otherwise;
        return path_refusal_errno(policy, refusal.verdict.step, refusal.judged);
    }
    return otherwise;
}

bool is_dropped_datagram(const CallRefusals* refusals) {
    if (refusals == nullptr) return false;
    for (uint8_t i = 0; i < refusals->count; ++i) {
        if (!refusals->items[i].lifted) return refusals->items[i].dropped;
    }
    return false;
}
