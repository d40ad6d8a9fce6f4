#include "rules/process_rules.h"

#include "proc/process_tree.h"

bool is_target_allowed(const SandboxTree& tree, pid_t caller, pid_t target) {
    if (target <= 0 || target == caller) return true;
    return is_in_sandbox_tree(target, tree) || target == thread_group_of(caller);
}

bool is_pidfd_target_allowed(const SandboxTree& tree, pid_t caller, int pidfd) {
    pid_t target = pid_of_pidfd(caller, pidfd);
    if (target == k_no_pidfd) return false;
    // A process that has exited shows -1: the kernel answers for it.
    return is_target_allowed(tree, caller, target);
}

bool is_priority_target_allowed(const SandboxTree& tree, pid_t caller, PriorityWho which, pid_t who) {
    switch (which) {
    case PriorityWho::process: return is_target_allowed(tree, caller, who);
    case PriorityWho::group: return true;
    case PriorityWho::user: return false;
    case PriorityWho::other: return true;
    }
    return false;
}
