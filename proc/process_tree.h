// What /proc says about processes at the moment of asking: thread groups,
// membership of the sandbox tree, the process behind a pidfd.
#pragma once

#include <sys/types.h>

#include "base/sandbox_tree.h"

// Longest parent chain walked from a process to the sandboxed child.
inline constexpr int k_tree_hop_limit = 48;

// The thread-group id of tid, or tid itself when it cannot be read.
[[nodiscard]] pid_t thread_group_of(pid_t tid);

// The parent of process pid, from its stat file, or -1.
[[nodiscard]] pid_t parent_of(pid_t pid);

// Whether pid (a process or thread id) is the sandboxed child or descends
// from it; never the supervisor, and false on any read failure.
[[nodiscard]] bool is_in_sandbox_tree(pid_t pid, const SandboxTree& tree);

// Whether no process or thread has this id, so that the kernel would
// answer ESRCH; false for 0 and negative ids, which name groups.
[[nodiscard]] bool has_no_process(pid_t id);

// What pid_of_pidfd answers when the descriptor is no pidfd or unreadable.
inline constexpr pid_t k_no_pidfd = -2147483647 - 1;

// The process a pidfd of process pid refers to, from its fdinfo: its pid,
// -1 once it has exited, or k_no_pidfd.
[[nodiscard]] pid_t pid_of_pidfd(pid_t pid, int fd);

// Whether pid runs under the supervisor's filter: a member of the tree, or
// an orphan of it that the supervisor, a subreaper, took in (a daemon the
// command started). The supervisor forks nothing else, so nothing else is
// below it. Never the supervisor.
[[nodiscard]] bool is_under_supervisor(pid_t pid, const SandboxTree& tree);

// Whether the descriptor whose fdinfo file this is may be read from
// (want_write false) or written to (want_write true); false when the
// fdinfo cannot be read.
[[nodiscard]] bool is_descriptor_open_for(const char* fdinfo, bool want_write);
