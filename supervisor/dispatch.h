// Turning one trapped call into an answer: its row of the call table says
// how it is judged.
#pragma once

#include <linux/seccomp.h>

#include <atomic>

#include "base/sandbox_tree.h"
#include "policy/policy.h"
#include "supervisor/response.h"
#include "supervisor/tree_objects.h"

struct CallRefusals;
struct Attachments;
struct JudgedOpen;

// What every judgement needs: the policy, the listener (to confirm a call
// is still pending), who the sandbox is, what the tree made, and where the
// reasons for a refusal go when a log is written (else null), and the
// policies that sandboxes inside the tree added (null: none may be added),
// and where an allowed open records what it was judged to reach, when the
// supervisor opens files itself (else null).
struct Supervision {
    const Policy* policy;
    int listener;
    SandboxTree tree;
    TreeObjects* made;
    CallRefusals* refusals;
    Attachments* nested;
    JudgedOpen* opened = nullptr;
    std::atomic<bool>* ids_changed = nullptr;  // set once a process of the tree may have changed its credentials
};

// A number that no row judges is refused with EPERM: the filter and the
// table come from the same rows, so only a fault reaches that answer.
[[nodiscard]] Answer dispatch_notification(const Supervision& supervision, const struct seccomp_notif& notif);
