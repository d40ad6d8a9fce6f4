// Which processes a process of the sandbox tree may act on: send signals
// to, change the priority, limits or scheduling of, or read the state of.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "base/sandbox_tree.h"

// Process groups and broadcasts (targets 0 and below) pass: the kernel
// applies its own permission checks to them. A single process must belong
// to the sandbox tree; a caller may always act on itself, even one that has
// left the tree's parent chain (re-parented to the supervisor): raise and
// abort must work there too.
[[nodiscard]] bool is_target_allowed(const SandboxTree& tree, pid_t caller, pid_t target);

// The same for the process behind the caller's pidfd descriptor, as its
// fdinfo names it; false when the descriptor is no pidfd or unreadable.
[[nodiscard]] bool is_pidfd_target_allowed(const SandboxTree& tree, pid_t caller, int pidfd);

// Who a priority call (setpriority, ioprio_set) acts on, by its "which".
enum class PriorityWho : uint8_t { process, group, user, other };

// The processes that setpriority(which, who) and ioprio_set(which, who)
// change, judged: one process as a target, a group as signals to it, and a
// user's, which reaches every process of the user, never. An unknown which
// is the kernel's to refuse.
[[nodiscard]] bool is_priority_target_allowed(const SandboxTree& tree, pid_t caller, PriorityWho which, pid_t who);
