#include "supervisor/dispatch.h"

#include "launcher/arch.h"

int dispatch_notification(const Policy* policy, int listener, const seccomp_notif* notif, int child_pid,
                          int supervisor_pid) {
    (void)policy;
    (void)listener;
    (void)child_pid;
    (void)supervisor_pid;
    switch (notif->data.nr) {
    // File-system calls.
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
    case native_nr(CALL_UTIMENSAT):
    case native_nr(CALL_EXECVE):
    case native_nr(CALL_EXECVEAT):
        return k_answer_continue;
    // Process and socket calls.
    case native_nr(CALL_CONNECT):
    case native_nr(CALL_SENDTO):
    case native_nr(CALL_PTRACE):
    case native_nr(CALL_PROCESS_VM_READV):
    case native_nr(CALL_PROCESS_VM_WRITEV):
    case native_nr(CALL_KILL):
    case native_nr(CALL_TKILL):
    case native_nr(CALL_TGKILL):
        return k_answer_continue;
    default:
        return k_answer_continue;
    }
}
