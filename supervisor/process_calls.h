// Calls that act on a process by pid, or set what the kernel does to one
// (limits, the owner that gets SIGIO), and ioctl requests the filter
// notifies: each reads what it needs out of the caller and judges it.
#pragma once

#include <stdint.h>

#include "supervisor/pending_call.h"

// The process (or group) that the low 32 bits of arg name, as a signal's
// target.
[[nodiscard]] bool check_target(const PendingCall& call, uint64_t arg);

// perf_event_open(attr, pid, cpu, group, flags).
[[nodiscard]] bool check_perf_event(const PendingCall& call, const uint64_t* args);

// setpriority(which, who, prio) and ioprio_set(which, who, ioprio).
[[nodiscard]] bool check_priority(const PendingCall& call, const uint64_t* args);
[[nodiscard]] bool check_io_priority(const PendingCall& call, const uint64_t* args);

// setrlimit(resource, limit) and prlimit64(pid, resource, limit, old): the
// core size, 0 since the start, may not be raised.
[[nodiscard]] bool check_core_limit(const PendingCall& call, const uint64_t* args);
[[nodiscard]] bool check_process_limit(const PendingCall& call, const uint64_t* args);

// fcntl(fd, F_SETOWN or F_SETOWN_EX, owner): the process that gets SIGIO.
[[nodiscard]] bool check_owner(const PendingCall& call, const uint64_t* args);

// ioctl(fd, request, argument) for the requests the filter notifies.
[[nodiscard]] bool check_ioctl(const PendingCall& call, const uint64_t* args);

// What a refused ioctl fails with: EPERM for an owner, as for kill;
// EACCES for a file's attributes, as for every refused write.
[[nodiscard]] int ioctl_refusal(const uint64_t* args);
