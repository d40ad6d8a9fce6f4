// Which processes a process of the sandbox tree may send signals to.
#pragma once

#include <sys/types.h>

#include "base/sandbox_tree.h"

// Process groups and broadcasts (targets 0 and below) pass: the kernel
// applies its own permission checks to them. A single process must belong
// to the sandbox tree; a caller may always signal itself, even one that has
// left the tree's parent chain (re-parented to the supervisor): raise and
// abort must work there too.
[[nodiscard]] bool is_signal_allowed_to(const SandboxTree& tree, pid_t caller, pid_t target);

// The same for the process behind the caller's pidfd descriptor, as its
// fdinfo names it; false when the descriptor is no pidfd or unreadable.
[[nodiscard]] bool is_pidfd_signal_allowed(const SandboxTree& tree, pid_t caller, int pidfd);
