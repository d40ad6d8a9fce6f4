#include "supervisor/dispatch.h"

#include <errno.h>
#include <sys/stat.h>

#include "launcher/arch.h"
#include "path/path_rules.h"
#include "path/tracee_path.h"
#include "rules/process_tree.h"
#include "rules/message_rules.h"
#include "rules/socket_rules.h"
#include "supervisor/file_calls.h"

namespace {

constexpr uint64_t k_resolve_in_root = 0x10;

// The tracee's struct open_how as the kernel defines it.
struct OpenHow {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};

CallId call_of(int nr) {
    for (int id = 0; id < CALL_COUNT; ++id) {
        if (native_nr(static_cast<CallId>(id)) == nr) return static_cast<CallId>(id);
    }
    return CALL_COUNT;
}

int is_device_node(uint64_t mode) {
    return S_ISCHR(static_cast<mode_t>(mode)) || S_ISBLK(static_cast<mode_t>(mode));
}

// 1 when every path of the call is allowed, judged in the call's order;
// a refused path ends the judgement before the next one is read.
int judge_file_call(const Tracee* tracee, const FileCall* call, const uint64_t* args) {
    uint64_t open_flags = 0;
    if (call->id == CALL_OPENAT2) {
        // resolve-in-root makes an absolute path start at the descriptor,
        // not at "/": the path would name another file than it says.
        OpenHow how;
        if (read_tracee_mem(tracee->pid, args[2], &how, sizeof(how)) != 0) return 0;
        if (how.resolve & k_resolve_in_root) return 0;
        open_flags = how.flags;
    } else if (call->slot[0].access_rule == ACCESS_BY_OPEN_FLAGS) {
        open_flags = args[call->slot[0].flags_arg];
    }
    // A device node opens raw devices that no path rule ever sees.
    if (call->id == CALL_MKNOD && is_device_node(args[1])) return 0;
    if (call->id == CALL_MKNODAT && is_device_node(args[2])) return 0;

    for (int i = 0; i < call->paths; ++i) {
        PathOperand operand = make_operand(call->slot[i], args, open_flags, k_o_nofollow);
        if (!check_tracee_path(tracee, &operand)) return 0;
    }
    return 1;
}

// utimensat without a path changes the times of the descriptor itself.
int judge_times_of_descriptor(const Tracee* tracee, const uint64_t* args) {
    return check_tracee_descriptor(tracee, static_cast<int>(static_cast<uint32_t>(args[0])), ACCESS_WRITE);
}

// Process groups and broadcasts pass; a single process must belong to the
// sandbox tree. A process may always signal itself, even one that has left
// the tree's parent chain (re-parented to the supervisor): raise and abort
// must work there too.
int is_signal_allowed_to(const Tracee* tracee, int target) {
    if (target <= 0 || target == tracee->pid) return 1;
    return is_in_sandbox_tree(target, tracee->child_pid, tracee->supervisor_pid) ||
           target == thread_group_of(tracee->pid);
}

int is_signal_allowed(const Tracee* tracee, uint64_t target_arg) {
    return is_signal_allowed_to(tracee, static_cast<int>(static_cast<uint32_t>(target_arg)));
}

// A pidfd names its process in the tracee's fdinfo of it.
int is_pidfd_signal_allowed(const Tracee* tracee, uint64_t pidfd_arg) {
    int pid = pid_of_pidfd(tracee->pid, static_cast<int>(static_cast<uint32_t>(pidfd_arg)));
    if (pid == k_no_pidfd) return 0;
    // A process that has exited shows -1: the kernel answers for it.
    return is_signal_allowed_to(tracee, pid);
}

}  // namespace

int dispatch_notification(const Policy* policy, int listener, const seccomp_notif* notif, int child_pid,
                          int supervisor_pid) {
    Tracee tracee = {policy, listener, notif->id, static_cast<int>(notif->pid), child_pid, supervisor_pid};
    const uint64_t* args = reinterpret_cast<const uint64_t*>(notif->data.args);
    int allowed = 0;
    int refusal = EACCES;

    switch (notif->data.nr) {
    case native_nr(CALL_UTIMENSAT):
    case native_nr(CALL_FUTIMESAT):
        if (args[1] == 0) {
            allowed = judge_times_of_descriptor(&tracee, args);
            break;
        }
        [[fallthrough]];
    case native_nr(CALL_OPENAT):
    case native_nr(CALL_OPENAT2):
    case native_nr(CALL_OPEN):
    case native_nr(CALL_CREAT):
    case native_nr(CALL_STATX):
    case native_nr(CALL_NEWFSTATAT):
    case native_nr(CALL_STAT):
    case native_nr(CALL_LSTAT):
    case native_nr(CALL_ACCESS):
    case native_nr(CALL_FACCESSAT):
    case native_nr(CALL_FACCESSAT2):
    case native_nr(CALL_READLINKAT):
    case native_nr(CALL_READLINK):
    case native_nr(CALL_MKDIRAT):
    case native_nr(CALL_MKDIR):
    case native_nr(CALL_UNLINKAT):
    case native_nr(CALL_UNLINK):
    case native_nr(CALL_RMDIR):
    case native_nr(CALL_RENAMEAT):
    case native_nr(CALL_RENAMEAT2):
    case native_nr(CALL_RENAME):
    case native_nr(CALL_LINKAT):
    case native_nr(CALL_LINK):
    case native_nr(CALL_SYMLINKAT):
    case native_nr(CALL_SYMLINK):
    case native_nr(CALL_FCHMODAT):
    case native_nr(CALL_FCHMODAT2):
    case native_nr(CALL_CHMOD):
    case native_nr(CALL_FCHOWNAT):
    case native_nr(CALL_CHOWN):
    case native_nr(CALL_LCHOWN):
    case native_nr(CALL_TRUNCATE):
    case native_nr(CALL_MKNODAT):
    case native_nr(CALL_MKNOD):
    case native_nr(CALL_EXECVE):
    case native_nr(CALL_EXECVEAT):
    case native_nr(CALL_SETXATTR):
    case native_nr(CALL_LSETXATTR):
    case native_nr(CALL_REMOVEXATTR):
    case native_nr(CALL_LREMOVEXATTR):
    case native_nr(CALL_SETXATTRAT):
    case native_nr(CALL_REMOVEXATTRAT):
    case native_nr(CALL_FILE_SETATTR):
    case native_nr(CALL_UTIME):
    case native_nr(CALL_UTIMES):
        allowed = judge_file_call(&tracee, find_file_call(call_of(notif->data.nr)), args);
        break;
    case native_nr(CALL_PTRACE):
    case native_nr(CALL_PROCESS_VM_READV):
    case native_nr(CALL_PROCESS_VM_WRITEV):
        refusal = EPERM;
        break;
    case native_nr(CALL_KILL):
    case native_nr(CALL_TKILL):
    case native_nr(CALL_TGKILL):
    case native_nr(CALL_RT_SIGQUEUEINFO):
    case native_nr(CALL_RT_TGSIGQUEUEINFO):
        allowed = is_signal_allowed(&tracee, args[0]);
        refusal = EPERM;
        break;
    case native_nr(CALL_PIDFD_SEND_SIGNAL):
        allowed = is_pidfd_signal_allowed(&tracee, args[0]);
        refusal = EPERM;
        break;
    case native_nr(CALL_CONNECT):
        allowed = check_sockaddr(&tracee, args[1], args[2]);
        break;
    case native_nr(CALL_SENDTO):
        // No destination: the socket's own peer, judged when it connected.
        allowed = args[4] == 0 || check_sockaddr(&tracee, args[4], args[5]);
        break;
    case native_nr(CALL_SENDMSG):
        allowed = check_message_destinations(&tracee, args[1], 1, k_msghdr_size);
        break;
    case native_nr(CALL_SENDMMSG):
        allowed = check_message_destinations(&tracee, args[1], args[2], k_mmsghdr_size);
        break;
    default:
        allowed = 1;
        break;
    }
    return allowed ? k_answer_continue : refusal;
}
