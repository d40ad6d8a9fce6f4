#include "supervisor/ipc_calls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "path/normalize.h"
#include "rules/ipc_rules.h"
#include "supervisor/refusal.h"
#include "supervisor/tree_objects.h"

namespace {

int low_int_of(uint64_t arg) {
    return static_cast<int>(static_cast<uint32_t>(arg));
}

// The get call of kind with the caller's arguments but key and flags.
long get_ipc(IpcKind kind, int key, const uint64_t* args, int flags) {
    long result = -1;
    do {
        switch (kind) {
        case IpcKind::shm: result = syscall(SYS_shmget, key, args[1], flags); break;
        case IpcKind::sem: result = syscall(SYS_semget, key, low_int_of(args[1]), flags); break;
        case IpcKind::msg: result = syscall(SYS_msgget, key, flags); break;
        case IpcKind::none: errno = EINVAL; return -1;
        }
    } while (result < 0 && errno == EINTR);
    return result;
}

// The object the key names now, without making one: its id, or -1 with
// errno (ENOENT: none).
long find_ipc(IpcKind kind, int key) {
    const uint64_t nothing[3] = {0, 0, 0};
    return get_ipc(kind, key, nothing, 0);
}

void remove_ipc(IpcKind kind, int id) {
    switch (kind) {
    case IpcKind::shm: syscall(SYS_shmctl, id, IPC_RMID, nullptr); break;
    case IpcKind::sem: syscall(SYS_semctl, id, 0, IPC_RMID, 0); break;
    case IpcKind::msg: syscall(SYS_msgctl, id, IPC_RMID, nullptr); break;
    case IpcKind::none: break;
    }
}

Answer refused(int error) {
    return {error, false, 0, false};
}

// A queue's name as the caller passed it: mq_open and mq_unlink take it
// without the leading "/" the C library strips.
bool check_queue(const PendingCall& call, uint64_t address, Access access) {
    char name[k_path_size];
    if (!copy_tracee_path(call.pid, address, name)) return refuse_unreadable(call.refusals, access, errno, "");
    if (!is_call_pending(call)) return refuse_gone(call.refusals);
    const bool made = has_tree_name(*call.made, NamedKind::message_queue, name);
    const bool exists = made || does_named_object_exist(NamedKind::message_queue, name);
    switch (judge_named_object(access, made, exists)) {
    case ObjectRuling::allow: return true;
    case ObjectRuling::allow_and_record:
        return record_tree_name(call.made, NamedKind::message_queue, name) ||
               refuse_for_rule(call.refusals, access, "objects_full", name);
    case ObjectRuling::refuse: break;
    }
    return refuse_for_rule(call.refusals, access, "not_tree_object", name);
}

}  // namespace

Answer perform_ipc_get(const PendingCall& call, IpcKind kind, const uint64_t* args) {
    const int key = low_int_of(args[0]);
    const int flags = low_int_of(args[kind == IpcKind::msg ? 1 : 2]);
    bool existed = false;
    if (key != IPC_PRIVATE) {
        const long found = find_ipc(kind, key);
        if (found >= 0 && !has_tree_id(*call.made, kind, static_cast<int>(found))) {
            (void)refuse_for_rule(call.refusals, ACCESS_READ, "not_tree_object", "", key);
            return refused(EACCES);
        }
        // One the supervisor may not even look at is not the tree's either.
        if (found < 0 && errno != ENOENT) return refused(errno);
        existed = found >= 0;
    }
    const long id = get_ipc(kind, key, args, flags);
    if (id < 0) return refused(errno);
    if (!existed && !record_tree_id(call.made, kind, static_cast<int>(id))) {
        remove_ipc(kind, static_cast<int>(id));
        (void)refuse_for_rule(call.refusals, ACCESS_WRITE, "objects_full");
        return refused(ENOSPC);
    }
    return {0, true, id, false};
}

bool check_ipc_id(const PendingCall& call, const CallRow& row, const uint64_t* args) {
    if (row.ipc_command_arg != k_no_arg && is_ipc_report_command(row.ipc, low_int_of(args[row.ipc_command_arg])))
        return true;
    return has_tree_id(*call.made, row.ipc, low_int_of(args[0]));
}

bool check_mq_open(const PendingCall& call, const uint64_t* args) {
    return check_queue(call, args[0], (low_int_of(args[1]) & O_CREAT) != 0 ? ACCESS_WRITE : ACCESS_READ);
}

bool check_mq_unlink(const PendingCall& call, const uint64_t* args) {
    return check_queue(call, args[0], ACCESS_DELETE);
}
