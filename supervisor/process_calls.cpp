#include "supervisor/process_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "base/kernel_abi.h"
#include "rules/process_rules.h"
#include "supervisor/path_check.h"

namespace {

// A pid, descriptor or command: the low 32 bits, as the kernel takes them.
int low_int_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

// A limit the tree passes at address: refused when it would raise the core
// size above 0. Only this very call's copy counts.
bool check_core_size(const PendingCall& call, uint64_t address) {
    if (address == 0) return true;
    struct {
        uint64_t current;
        uint64_t maximum;
    } limit;
    if (!read_tracee_mem(call.pid, address, &limit, sizeof(limit))) return false;
    return is_call_pending(call) && limit.current == 0 && limit.maximum == 0;
}

bool is_owner_request(uint64_t request) {
    return static_cast<uint32_t>(request) == FIOSETOWN || static_cast<uint32_t>(request) == SIOCSPGRP;
}

}  // namespace

bool check_target(const PendingCall& call, uint64_t arg) {
    return is_target_allowed(call.tree, call.pid, low_int_of(arg));
}

bool check_perf_event(const PendingCall& call, const uint64_t* args) {
    // pid -1 measures every process on a CPU; with PERF_FLAG_PID_CGROUP
    // the "pid" is a cgroup.
    const int pid = low_int_of(args[1]);
    if (pid == -1 || (args[4] & PERF_FLAG_PID_CGROUP) != 0) return false;
    return is_target_allowed(call.tree, call.pid, pid);
}

bool check_priority(const PendingCall& call, const uint64_t* args) {
    PriorityWho which = PriorityWho::other;
    switch (low_int_of(args[0])) {
    case PRIO_PROCESS: which = PriorityWho::process; break;
    case PRIO_PGRP: which = PriorityWho::group; break;
    case PRIO_USER: which = PriorityWho::user; break;
    default: break;
    }
    return is_priority_target_allowed(call.tree, call.pid, which, low_int_of(args[1]));
}

bool check_io_priority(const PendingCall& call, const uint64_t* args) {
    PriorityWho which = PriorityWho::other;
    switch (static_cast<uint32_t>(args[0])) {
    case k_ioprio_who_process: which = PriorityWho::process; break;
    case k_ioprio_who_pgrp: which = PriorityWho::group; break;
    case k_ioprio_who_user: which = PriorityWho::user; break;
    default: break;
    }
    return is_priority_target_allowed(call.tree, call.pid, which, low_int_of(args[1]));
}

bool check_core_limit(const PendingCall& call, const uint64_t* args) {
    return low_int_of(args[0]) != RLIMIT_CORE || check_core_size(call, args[1]);
}

bool check_process_limit(const PendingCall& call, const uint64_t* args) {
    if (!check_target(call, args[0])) return false;
    return low_int_of(args[1]) != RLIMIT_CORE || check_core_size(call, args[2]);
}

bool check_owner(const PendingCall& call, const uint64_t* args) {
    switch (low_int_of(args[1])) {
    case F_SETOWN: return check_target(call, args[2]);
    case F_SETOWN_EX: {
        f_owner_ex owner;
        if (!read_tracee_mem(call.pid, args[2], &owner, sizeof(owner)) || !is_call_pending(call)) return false;
        // A process group gets SIGIO as a signal to the group would.
        return owner.type == F_OWNER_PGRP || is_target_allowed(call.tree, call.pid, owner.pid);
    }
    default: return true;
    }
}

int ioctl_refusal(const uint64_t* args) {
    return is_owner_request(args[1]) ? EPERM : EACCES;
}

bool check_ioctl(const PendingCall& call, const uint64_t* args) {
    if (is_owner_request(args[1])) {
        // The owner, a pid or a negated process group, is an int the
        // argument points at.
        int owner = 0;
        if (!read_tracee_mem(call.pid, args[2], &owner, sizeof(owner)) || !is_call_pending(call)) return false;
        return is_target_allowed(call.tree, call.pid, owner);
    }
    // The requests that change a file's attributes, which the kernel
    // allows through a descriptor open for reading.
    return check_tracee_descriptor(call, low_int_of(args[0]), ACCESS_WRITE);
}
