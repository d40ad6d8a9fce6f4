// Membership of the sandbox tree, read from /proc at the moment of asking.
#pragma once

// Longest parent chain walked from a process to the sandboxed child.
inline constexpr int k_tree_hop_limit = 48;

// The thread-group id of tid, or tid itself when it cannot be read.
int thread_group_of(int tid);

// 1 when pid (a process or thread id) is the sandboxed child or descends from
// it; 0 otherwise, and always 0 for the supervisor and on any read failure.
int is_in_sandbox_tree(int pid, int child_pid, int supervisor_pid);

// What pid_of_pidfd answers when the descriptor is no pidfd or unreadable.
inline constexpr int k_no_pidfd = -2147483647 - 1;

// The process a pidfd of process pid refers to, from its fdinfo: its pid,
// -1 once it has exited, or k_no_pidfd.
int pid_of_pidfd(int pid, int fd);
