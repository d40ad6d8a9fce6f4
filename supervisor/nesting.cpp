#include "supervisor/nesting.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/kernel_abi.h"
#include "proc/process_tree.h"
#include "supervisor/pending_call.h"
#include "supervisor/refusal.h"

namespace {

// Parents walked from a caller up to the supervisor while any attachment
// exists; a deeper chain is refused rather than judged by too few policies.
constexpr int k_scope_hop_limit = 1024;

constexpr Answer k_performed_zero = {0, true, 0, false};

Answer refused(int error) {
    return Answer{error, false, 0, false};
}

bool is_alive(const Attachment& attachment) {
    return attachment.keeper > 0 && syscall(k_nr_pidfd_send_signal, attachment.pidfd, 0, nullptr, 0) == 0;
}

// Keepers that have gone take their policies with them: their descendants
// were reparented to them while they lived, so none is left below them.
void drop_gone(Attachments* attachments) {
    size_t kept = 0;
    for (size_t i = 0; i < attachments->count; ++i) {
        Attachment& attachment = attachments->items[i];
        if (is_alive(attachment)) {
            if (kept != i) attachments->items[kept] = attachment;
            ++kept;
            continue;
        }
        if (attachment.pidfd >= 0) close(attachment.pidfd);
        release_policy(&attachment.policy);
    }
    attachments->count = kept;
}

const Attachment* find_keeper(const Attachments* attachments, pid_t pid) {
    for (size_t i = 0; i < attachments->count; ++i) {
        const Attachment& attachment = attachments->items[i];
        if (attachment.keeper != pid) continue;
        // Its pid may already name another process: it is judged by the
        // policies of its own ancestors only.
        if (is_alive(attachment)) return &attachment;
    }
    return nullptr;
}

// The blob, read once: the decoded copy is what judges, whatever the
// caller's memory holds afterwards.
Answer attach_policy(const PendingCall& call, Attachments* attachments, uint64_t address, uint64_t length) {
    if (length == 0 || length > k_nest_blob_max) return refused(EINVAL);
    char* blob = static_cast<char*>(malloc(length + 1));
    if (blob == nullptr) return refused(ENOMEM);
    const bool read = read_tracee_mem(call.pid, address, blob, length) && is_call_pending(call);
    blob[read ? length : 0] = 0;
    const int error = read ? attach_blob(attachments, thread_group_of(call.pid), blob, length) : EFAULT;
    free(blob);
    return error == 0 ? k_performed_zero : refused(error);
}

int add_attachment(Attachments* attachments, pid_t keeper, const char* text) {
    drop_gone(attachments);
    if (find_keeper(attachments, keeper) != nullptr) return EBUSY;
    if (attachments->count == k_nest_max) return ENOSPC;
    Attachment& attachment = attachments->items[attachments->count];
    memset(&attachment, 0, sizeof(attachment));
    const PolicyError decoded = decode_policy(text, &attachment.policy);
    if (decoded != PolicyError::none) {
        release_policy(&attachment.policy);
        return decoded == PolicyError::no_memory ? ENOMEM : EINVAL;
    }
    attachment.pidfd = static_cast<int>(syscall(k_nr_pidfd_open, keeper, 0));
    if (attachment.pidfd < 0) {
        release_policy(&attachment.policy);
        return ESRCH;
    }
    attachment.keeper = keeper;
    // Published whole: a judging thread that reads the new count without
    // the lock then takes it.
    attachments->count.fetch_add(1, std::memory_order_release);
    return 0;
}

Answer judge_in_scopes(const Supervision& supervision, const Attachments& attachments, const seccomp_notif& notif,
                       const Answer& answer, const Policy** judged_by) {
    Scopes scopes;
    if (!find_scopes(&attachments, static_cast<pid_t>(notif.pid), supervision.tree, &scopes)) {
        (void)refuse_for_rule(supervision.refusals, ACCESS_STAT, "nest_unknown");
        return refused(EPERM);
    }
    for (size_t i = 0; i < scopes.count; ++i) {
        const Attachment& scope = *scopes.items[i];
        Supervision inner = supervision;
        inner.policy = &scope.policy;
        // The keeper is the sandbox's own supervisor: never one of its tree.
        inner.tree = {scope.keeper, -1, scope.keeper};
        inner.nested = nullptr;
        const Answer judged = dispatch_notification(inner, notif);
        if (!is_continue(judged)) {
            *judged_by = inner.policy;
            return judged;
        }
    }
    return answer;
}

}  // namespace

int attach_blob(Attachments* attachments, pid_t keeper, const char* text, size_t length) {
    if (length == 0 || length > k_nest_blob_max) return EINVAL;
    if (strnlen(text, length + 1) != length || check_blob_text(text).fault != BlobFault::none) return EINVAL;
    pthread_rwlock_wrlock(&attachments->lock);
    const int error = add_attachment(attachments, keeper, text);
    pthread_rwlock_unlock(&attachments->lock);
    return error;
}

void release_attachments(Attachments* attachments) {
    pthread_rwlock_wrlock(&attachments->lock);
    for (size_t i = 0; i < attachments->count; ++i) attachments->items[i].keeper = 0;
    drop_gone(attachments);
    pthread_rwlock_unlock(&attachments->lock);
}

Answer judge_nest_request(const PendingCall& call, Attachments* attachments, const uint64_t* args) {
    if (attachments == nullptr) return refused(EINVAL);
    if (args[1] == k_nest_query) return k_performed_zero;
    if (args[1] == k_nest_attach) return attach_policy(call, attachments, args[2], args[3]);
    return refused(EINVAL);
}

bool find_scopes(const Attachments* attachments, pid_t pid, const SandboxTree& tree, Scopes* out) {
    out->count = 0;
    pid_t current = thread_group_of(pid);
    for (int hops = 0; current != tree.supervisor && current > 1; ++hops) {
        if (hops == k_scope_hop_limit) return false;
        const pid_t parent = parent_of(current);
        if (parent < 0) return false;
        const Attachment* scope = find_keeper(attachments, parent);
        if (scope != nullptr) out->items[out->count++] = scope;
        current = parent;
    }
    // Found innermost first; judged outermost first.
    for (size_t i = 0; i < out->count / 2; ++i) {
        const Attachment* swapped = out->items[i];
        out->items[i] = out->items[out->count - 1 - i];
        out->items[out->count - 1 - i] = swapped;
    }
    return true;
}

Answer dispatch_in_scopes(const Supervision& supervision, const seccomp_notif& notif, const Policy** judged_by) {
    *judged_by = supervision.policy;
    const Answer answer = dispatch_notification(supervision, notif);
    Attachments* attachments = supervision.nested;
    if (attachments == nullptr || attachments->count.load(std::memory_order_acquire) == 0 || !is_continue(answer)) {
        return answer;
    }
    pthread_rwlock_rdlock(&attachments->lock);
    const Answer judged = judge_in_scopes(supervision, *attachments, notif, answer, judged_by);
    pthread_rwlock_unlock(&attachments->lock);
    return judged;
}
