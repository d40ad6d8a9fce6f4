#include "rules/signal_rules.h"

#include "proc/process_tree.h"

bool is_signal_allowed_to(const SandboxTree& tree, pid_t caller, pid_t target) {
    if (target <= 0 || target == caller) return true;
    return is_in_sandbox_tree(target, tree) || target == thread_group_of(caller);
}

bool is_pidfd_signal_allowed(const SandboxTree& tree, pid_t caller, int pidfd) {
    pid_t target = pid_of_pidfd(caller, pidfd);
    if (target == k_no_pidfd) return false;
    // A process that has exited shows -1: the kernel answers for it.
    return is_signal_allowed_to(tree, caller, target);
}
