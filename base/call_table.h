// The table of calls: one row for every system call the filter names, with
// its numbers on both architectures, what the filter does with it, and for
// a call the supervisor judges, how. The filter (launcher/filter.cpp), the
// supervisor's dispatch (supervisor/dispatch.cpp) and their tests are all
// derived from it; nothing else lists calls.
//
// Adding a call is adding its row in k_calls (base/call_table.cpp) and its
// tests:
//   - the numbers from the kernel's tables (arch/x86/entry/syscalls/
//     syscall_64.tbl, include/uapi/asm-generic/unistd.h), k_absent where an
//     architecture lacks the call; a unit test compares the build's own
//     column with the C library's __NR_ constants;
//   - the filter's rule: refused outright, notified, or decided by its
//     arguments (ArgRules: the common forms that act on the caller itself
//     run unchecked, the rest are notified or refused);
//   - for a notified call, the Judge; a file call names its path operands
//     with the builders of base/call_builders.h (directory and path arguments, access class,
//     whether a final link is followed, what an empty path means);
//   - a row of the end-to-end tables through the probe (tests/probe.cpp
//     takes the call's number by its name from this table), and the
//     checked-in disassembly of both filters (tests/unit/filter_*.txt),
//     rewritten with SANDBOX_FILTER_TEXT_DIR (see HACKING.md).
// A number the filter notifies but no Judge handles is refused with EPERM;
// a unit test runs dispatch over every notified number of both builds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "base/access.h"
#include "base/arch.h"

inline constexpr int k_absent = -1;     // the architecture has no such call
inline constexpr int8_t k_no_arg = -1;  // no such argument (no directory: AT_FDCWD)
inline constexpr int k_nr_limit = 512;  // every number in the table lies below

// What the filter does with one call.
enum class Outcome : uint8_t {
    allow,        // runs unchecked
    notify,       // suspended for the supervisor, which judges it
    fail_enosys,  // fails at once: programs fall back to plain calls
    fail_eperm,   // fails at once
    pretend,      // returns 0 at once without running: the call would cost the tree its supervisor
};

// What the filter does with a call: one outcome, or one by its arguments.
enum class FilterRule : uint8_t {
    notify,
    fail_enosys,
    fail_eperm,
    by_args,  // the row's ArgRules decide
};

// A test on the low 32 bits of one argument: (arg & mask) against value.
enum class CondOp : uint8_t { equal, not_equal, any_bit, no_bit };
struct ArgCond {
    uint8_t arg;
    CondOp op;
    uint32_t mask;   // equal, not_equal: the bits compared; any_bit, no_bit: the bits tested
    uint32_t value;  // equal, not_equal only
};

// The first clause whose conditions all hold gives the outcome; when none
// does, otherwise does. The filter checks them in order, so the common
// forms of a hot call come first.
struct ArgClause {
    Outcome outcome;
    uint8_t cond_count;
    ArgCond conds[2];
};
struct ArgRules {
    const ArgClause* clauses;
    uint8_t clause_count;
    Outcome otherwise;
};

// How the supervisor judges a notified call.
enum class Judge : uint8_t {
    none,              // never notified: the filter decides alone
    paths,             // each path operand in turn, in the row's order
    refuse,            // always EPERM
    target_process,    // the process argument 0 names, judged as a signal's target
    target_pidfd,      // the process behind the pidfd in argument 0, likewise
    perf_event,        // perf_event_open: the process in argument 1; every process or a cgroup: refused
    priority,          // setpriority: by which (argument 0) and who (argument 1)
    io_priority,       // ioprio_set: the same, with the I/O priority's own which values
    core_limit,        // setrlimit: a core size above 0 is refused
    process_limit,     // prlimit64: the process in argument 0, and a core size above 0
    owner,             // fcntl F_SETOWN, F_SETOWN_EX: the process that gets SIGIO
    ioctl,             // ioctl: FIOSETOWN and SIOCSPGRP like owner; attribute changes like descriptor_write
    descriptor_write,  // a change through the descriptor in argument 0, judged as a write of its file
    connect,           // the address in arguments 1 and 2
    bind,              // a local socket name in arguments 1 and 2 creates a file: a write
    sendto,            // the address in arguments 4 and 5; none: the connected peer
    sendmsg,           // the msg_name of the msghdr at argument 1
    sendmmsg,          // those of the argument-2 mmsghdrs at argument 1
    ipc_get,           // shmget, semget, msgget: carried out by the supervisor, which records what it makes
    ipc_id,            // a System V call on the id in argument 0: only objects the tree made
    mq_open,           // a POSIX message queue named in argument 0: only those the tree made
    mq_unlink,         // the same for removing one
    nest,              // prctl's sandbox option: a sandbox inside the tree asks to add its policy
    credentials,       // a change of ids, groups or capabilities: let through, and noted
};

// The kinds of System V objects.
enum class IpcKind : uint8_t { none, shm, sem, msg };

// Where the access class of a path operand comes from.
enum class AccessFrom : uint8_t {
    fixed,       // the row's class
    open_flags,  // write for O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND; stat for O_PATH; else read
    probe_mode,  // access(2): write for W_OK, read for R_OK, else stat
};

// How an open call gives its flags and mode, for the supervisor that opens
// the file on the caller's behalf.
enum class OpenForm : uint8_t {
    none,             // not an open
    flags_then_mode,  // the flags in the path operand's access argument, the mode in the next one
    open_how,         // flags, mode and resolution in the struct open_how at open_how_arg
    create,           // creat: O_CREAT | O_WRONLY | O_TRUNC, the mode in the argument after the path
};

// How a change to the file system gives its arguments, for the supervisor
// that carries it out on what it judged.
enum class ChangeForm : uint8_t {
    none,              // not carried out by the supervisor
    make_directory,    // mkdir, mkdirat: the mode in the argument after the path
    remove_at,         // unlinkat: the flags in the argument after the path
    remove_file,       // unlink
    remove_directory,  // rmdir
    rename,            // rename, renameat: the first path to the second
    rename_flags,      // renameat2: the flags in the argument after the second path
    symlink,           // symlink, symlinkat: the link's text in argument 0, the new link the row's path
    link,              // link: the first path to the second, never following
    link_at,           // linkat: the flags in the argument after the second path
    make_node,         // mknod, mknodat: the mode, then the device, after the path
    change_mode,       // chmod, fchmodat: the mode after the path
    change_mode_at,    // fchmodat2: the mode, then the flags, after the path
    change_owner,      // chown, lchown: the user, then the group, after the path
    change_owner_at,   // fchownat: the user, the group, then the flags after the path
    truncate,          // truncate: the length after the path
    set_times,         // utimensat: struct timespec[2] after the path, then the flags
    set_times_old,     // utime: a struct utimbuf after the path
    set_times_micro,   // utimes, futimesat: struct timeval[2] after the path
    set_xattr,         // setxattr, lsetxattr: the name, the value, its size and the flags after the path
    remove_xattr,      // removexattr, lremovexattr: the name after the path
    set_xattr_at,      // setxattrat: the flags, the name, struct xattr_args and its size after the path
    remove_xattr_at,   // removexattrat: the flags, then the name, after the path
};

// How a signal call names its target and signal, for the supervisor that
// sends it through a pidfd taken before the target was judged.
enum class SignalForm : uint8_t {
    none,
    process,        // kill: the process, then the signal
    thread,         // tkill: the thread, then the signal
    group_thread,   // tgkill: the thread group, the thread, then the signal
    queued,         // rt_sigqueueinfo: the process, the signal, then its siginfo
    queued_thread,  // rt_tgsigqueueinfo: the thread group, the thread, the signal, then its siginfo
};

// Whether the call follows a final symbolic link.
enum class Follow : uint8_t {
    never,
    always,
    unless_at_symlink_nofollow,  // in the flags argument
    unless_o_nofollow,           // in the open flags
};

// What an empty path string names.
enum class EmptyPath : uint8_t {
    refused,                        // nothing: the kernel fails it with ENOENT
    acts_on_dirfd,                  // the directory descriptor itself
    acts_on_dirfd_with_empty_flag,  // the descriptor when AT_EMPTY_PATH is in the flags argument
};

// One path operand of a file call.
struct PathArg {
    int8_t dirfd = k_no_arg;  // the argument holding the directory; k_no_arg: AT_FDCWD
    int8_t path = 0;          // the argument holding the path's address
    AccessFrom access_from = AccessFrom::fixed;
    Access access = ACCESS_STAT;   // for AccessFrom::fixed
    int8_t access_arg = k_no_arg;  // the open flags or the probe mode
    Follow follow = Follow::never;
    EmptyPath empty = EmptyPath::refused;
    int8_t flags_arg = k_no_arg;      // the flags that follow and empty read
    bool null_acts_on_dirfd = false;  // a null path changes the descriptor itself
};

struct CallRow {
    const char* name;
    int x86_64;  // k_absent: no such call
    int aarch64;
    FilterRule filter = FilterRule::notify;
    const ArgRules* args = nullptr;  // for FilterRule::by_args
    Judge judge = Judge::none;
    uint8_t path_count = 0;
    PathArg paths[2] = {};
    int8_t open_how_arg = k_no_arg;     // the open flags are in the struct open_how there
    int8_t device_mode_arg = k_no_arg;  // a mode there that makes a device node is refused
    IpcKind ipc = IpcKind::none;        // ipc_get, ipc_id
    int8_t ipc_command_arg = k_no_arg;  // ipc_id: the control command, where the call has one
    OpenForm open_form = OpenForm::none;
    ChangeForm change = ChangeForm::none;
    SignalForm signal = SignalForm::none;
};

// The table, in the order the filter compares the calls.
extern const CallRow k_calls[];
extern const size_t k_call_count;

// The row's number on arch, or k_absent.
constexpr int call_number(const CallRow& row, Arch arch) {
    return arch == Arch::x86_64 ? row.x86_64 : row.aarch64;
}

// The row the filter of arch names with number nr, or null. Constant time:
// dispatch asks once per notification.
[[nodiscard]] const CallRow* find_call(Arch arch, long nr);

// The row of the call with this name, or null.
[[nodiscard]] const CallRow* find_call_by_name(const char* name);

// The build's number of the named call, or k_absent when the build lacks it
// (or no row has that name).
[[nodiscard]] int native_number_of(const char* name);

// What a row's argument rules answer for these arguments, as the filter
// decides it: the supervisor asks again for a call the filter suspended.
[[nodiscard]] Outcome decide_by_args(const ArgRules& rules, const uint64_t* args);
