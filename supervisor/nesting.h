// Policies that sandboxes started inside the tree add for their own
// commands. Each judges the descendants of the process that asked (its
// keeper) in addition to the supervisor's own policy and to those of the
// sandboxes around it: a call goes ahead only if every one allows it.
#pragma once

#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/types.h>

#include <atomic>

#include "base/nest_request.h"
#include "policy/policy.h"
#include "supervisor/dispatch.h"

struct PendingCall;

struct Attachment {
    pid_t keeper;  // its descendants are judged by policy; 0 once it has gone
    int pidfd;     // on the keeper: tells it from a later process with its pid
    Policy policy;
};

// Shared by the judging threads: judged under the read lock, changed under
// the write lock; a run without attachments takes neither.
struct Attachments {
    Attachment items[k_nest_max];
    std::atomic<size_t> count{0};
    pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
};

// The policies that judge a process besides the supervisor's own,
// outermost first.
struct Scopes {
    const Attachment* items[k_nest_max];
    size_t count;
};

// The answer to prctl(k_pr_sandbox_nest, ...): the query is answered 0;
// an attachment is read once out of the caller, decoded and kept, or
// refused (EINVAL for a request or blob that is not one, EBUSY for a
// keeper that has one already, ENOSPC when the table is full). Nothing it
// adds lets a call through that was refused before.
[[nodiscard]] Answer judge_nest_request(const PendingCall& call, Attachments* attachments, const uint64_t* args);

// Keeps the policy of blob text (length bytes, then a NUL) for the
// descendants of keeper: 0, or the error the request is refused with.
[[nodiscard]] int attach_blob(Attachments* attachments, pid_t keeper, const char* text, size_t length);

// Gives back every attachment.
void release_attachments(Attachments* attachments);

// The attachments whose keepers are ancestors of pid, read along its chain
// of parents up to the supervisor; false when the chain cannot be read
// whole, and the call is then refused. Under the read lock.
[[nodiscard]] bool find_scopes(const Attachments* attachments, pid_t pid, const SandboxTree& tree, Scopes* out);

// The supervisor's own judgement, then that of every policy of the
// caller's scopes: the first refusal is the answer, and *judged_by the
// policy that made it (the supervisor's own otherwise).
[[nodiscard]] Answer dispatch_in_scopes(const Supervision& supervision, const seccomp_notif& notif,
                                        const Policy** judged_by);
