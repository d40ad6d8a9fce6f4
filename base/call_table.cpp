#include "base/call_table.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/perf_event.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <array>

#include "base/call_builders.h"
#include "base/kernel_abi.h"
#include "base/nest_request.h"

namespace {

constexpr Access k_stat = ACCESS_STAT;
constexpr Access k_write = ACCESS_WRITE;
constexpr Access k_delete = ACCESS_DELETE;
constexpr Access k_exec = ACCESS_EXEC;
constexpr Follow k_yes = Follow::always;
constexpr Follow k_no = Follow::never;

constexpr Outcome k_allow = Outcome::allow;
constexpr Outcome k_notify = Outcome::notify;
constexpr Outcome k_eperm = Outcome::fail_eperm;
constexpr Outcome k_pretend = Outcome::pretend;

// fcntl runs for nearly every open file: only the two commands that name a
// process to send SIGIO and SIGURG to are notified.
constexpr ArgClause k_fcntl_clauses[] = {when(k_notify, arg_is(1, F_SETOWN)), when(k_notify, arg_is(1, F_SETOWN_EX))};
constexpr ArgRules k_fcntl = rules(k_fcntl_clauses, k_allow);

// ioctl: typing into the user's terminal is refused; naming a process to
// signal, and changing a file's attributes through any descriptor, are
// notified; every other request runs.
constexpr ArgClause k_ioctl_clauses[] = {
    when(k_eperm, arg_is(1, TIOCSTI)),
    when(k_eperm, arg_is(1, TIOCLINUX)),
    when(k_notify, arg_is(1, FIOSETOWN)),
    when(k_notify, arg_is(1, SIOCSPGRP)),
    when(k_notify, arg_is(1, FS_IOC_SETFLAGS)),
    when(k_notify, arg_is(1, FS_IOC32_SETFLAGS)),
    when(k_notify, arg_is(1, FS_IOC_FSSETXATTR)),
    when(k_notify, arg_is(1, k_fs_ioc_enable_verity)),
};
constexpr ArgRules k_ioctl = rules(k_ioctl_clauses, k_allow);

// Raw and packet sockets reach any port (and any interface) without the
// port rules. (AF_INET, SOCK_PACKET) is the old name of a packet socket.
constexpr uint32_t k_socket_type = 0xf;  // the type without SOCK_NONBLOCK and SOCK_CLOEXEC
constexpr ArgClause k_socket_clauses[] = {
    when(k_eperm, arg_is(0, AF_PACKET)),
    when(k_eperm, arg_is(0, AF_INET), arg_masked_is(1, k_socket_type, SOCK_RAW)),
    when(k_eperm, arg_is(0, AF_INET), arg_masked_is(1, k_socket_type, SOCK_PACKET)),
    when(k_eperm, arg_is(0, AF_INET6), arg_masked_is(1, k_socket_type, SOCK_RAW)),
};
constexpr ArgRules k_socket = rules(k_socket_clauses, k_allow);

// clone with namespace flags (CLONE_NEW* but CLONE_NEWTIME, which clone
// cannot take) would take the process out of the supervisor's view.
constexpr ArgClause k_clone_clauses[] = {when(k_eperm, has_any_bit(0, 0x7e020000))};
constexpr ArgRules k_clone = rules(k_clone_clauses, k_allow);

// A process that makes itself non-dumpable (ssh-agent, gpg-agent and
// password tools do, against other programs of the user) could no longer
// be read by its supervisor, an ordinary user too, and every trapped call
// of it would be refused. It is told it succeeded and stays readable.
// A sandbox started inside the tree asks through its own option.
constexpr ArgClause k_prctl_clauses[] = {when(k_pretend, arg_is(0, PR_SET_DUMPABLE), arg_is(1, 0)),
                                         when(k_notify, arg_is(0, k_pr_sandbox_nest))};
constexpr ArgRules k_prctl = rules(k_prctl_clauses, k_allow);

// The calls that act on a process by pid: pid 0 is the caller itself.
constexpr ArgClause k_self_in_arg0_clauses[] = {when(k_allow, arg_is(0, 0))};
constexpr ArgRules k_self_in_arg0 = rules(k_self_in_arg0_clauses, k_notify);

// The core size is the one limit a process may not raise.
constexpr ArgClause k_setrlimit_clauses[] = {when(k_notify, arg_is(0, RLIMIT_CORE))};
constexpr ArgRules k_setrlimit = rules(k_setrlimit_clauses, k_allow);
constexpr ArgClause k_prlimit_clauses[] = {when(k_allow, arg_is(0, 0), arg_is_not(1, RLIMIT_CORE))};
constexpr ArgRules k_prlimit = rules(k_prlimit_clauses, k_notify);

// A process group passes as it does for signals.
constexpr ArgClause k_setpriority_clauses[] = {when(k_allow, arg_is(0, PRIO_PROCESS), arg_is(1, 0)),
                                               when(k_allow, arg_is(0, PRIO_PGRP))};
constexpr ArgRules k_setpriority = rules(k_setpriority_clauses, k_notify);
constexpr ArgClause k_ioprio_clauses[] = {when(k_allow, arg_is(0, k_ioprio_who_process), arg_is(1, 0)),
                                          when(k_allow, arg_is(0, k_ioprio_who_pgrp))};
constexpr ArgRules k_ioprio = rules(k_ioprio_clauses, k_notify);

// perf_event_open samples another process's stack and registers: only the
// caller itself, and never every process of a CPU (-1) or a cgroup, runs
// unchecked.
constexpr ArgClause k_perf_clauses[] = {when(k_allow, arg_is(1, 0), has_no_bit(4, PERF_FLAG_PID_CGROUP))};
constexpr ArgRules k_perf = rules(k_perf_clauses, k_notify);

}  // namespace

// clang-format off
constexpr CallRow k_calls[] = {
    // Decided by their arguments; the frequent ones first, since every call
    // the filter names goes down these rows in order.
    //   name                 x86-64  AArch64
    by_args("fcntl",               72,     25, &k_fcntl, Judge::owner),
    by_args("ioctl",               16,     29, &k_ioctl, Judge::ioctl),
    by_args("socket",              41,    198, &k_socket),
    by_args("clone",               56,    220, &k_clone),
    by_args("setrlimit",          160,    164, &k_setrlimit, Judge::core_limit),
    by_args("prlimit64",          302,    261, &k_prlimit, Judge::process_limit),
    by_args("sched_setparam",     142,    118, &k_self_in_arg0, Judge::target_process),
    by_args("sched_setscheduler", 144,    119, &k_self_in_arg0, Judge::target_process),
    by_args("sched_setaffinity",  203,    122, &k_self_in_arg0, Judge::target_process),
    by_args("sched_setattr",      314,    274, &k_self_in_arg0, Judge::target_process),
    by_args("setpriority",        141,    140, &k_setpriority, Judge::priority),
    by_args("ioprio_set",         251,     30, &k_ioprio, Judge::io_priority),
    by_args("get_robust_list",    274,    100, &k_self_in_arg0, Judge::target_process),
    by_args("migrate_pages",      256,    238, &k_self_in_arg0, Judge::target_process),
    by_args("move_pages",         279,    239, &k_self_in_arg0, Judge::target_process),
    by_args("perf_event_open",    298,    241, &k_perf, Judge::perf_event),
    by_args("prctl",              157,    167, &k_prctl, Judge::nest),

    // Refused in the filter. ENOSYS where programs fall back to plain calls
    // that are trapped, or do without (keyrings); EPERM for what would take
    // the process tree out of the supervisor's view, reach into other
    // processes, or stall the supervisor (userfaultfd parks its reads).
    fail("io_uring_setup",        425,    425, FilterRule::fail_enosys),
    fail("io_uring_enter",        426,    426, FilterRule::fail_enosys),
    fail("io_uring_register",     427,    427, FilterRule::fail_enosys),
    fail("clone3",                435,    435, FilterRule::fail_enosys),
    fail("pidfd_getfd",           438,    438, FilterRule::fail_enosys),
    fail("kcmp",                  312,    272, FilterRule::fail_enosys),
    fail("process_madvise",       440,    440, FilterRule::fail_enosys),
    fail("keyctl",                250,    219, FilterRule::fail_enosys),
    fail("add_key",               248,    217, FilterRule::fail_enosys),
    fail("request_key",           249,    218, FilterRule::fail_enosys),
    fail("unshare",               272,     97, FilterRule::fail_eperm),
    fail("setns",                 308,    268, FilterRule::fail_eperm),
    fail("mount",                 165,     40, FilterRule::fail_eperm),
    fail("umount2",               166,     39, FilterRule::fail_eperm),
    fail("pivot_root",            155,     41, FilterRule::fail_eperm),
    fail("chroot",                161,     51, FilterRule::fail_eperm),
    fail("open_tree",             428,    428, FilterRule::fail_eperm),
    fail("open_tree_attr",        467,    467, FilterRule::fail_eperm),
    fail("move_mount",            429,    429, FilterRule::fail_eperm),
    fail("fsopen",                430,    430, FilterRule::fail_eperm),
    fail("fsmount",               432,    432, FilterRule::fail_eperm),
    fail("fspick",                433,    433, FilterRule::fail_eperm),
    fail("mount_setattr",         442,    442, FilterRule::fail_eperm),
    fail("open_by_handle_at",     304,    265, FilterRule::fail_eperm),
    fail("fanotify_init",         300,    262, FilterRule::fail_eperm),
    fail("acct",                  163,     89, FilterRule::fail_eperm),
    fail("userfaultfd",           323,    282, FilterRule::fail_eperm),

    // Notified: destinations in message headers, attribute changes, old
    // time calls and signals sent by other means than kill.
    judged("sendmsg",              46,    211, Judge::sendmsg),
    judged("sendmmsg",            307,    269, Judge::sendmmsg),
    carried_out(
    file("setxattr",              188,      5, named(k_cwd, 0, k_write, k_yes)), ChangeForm::set_xattr),
    carried_out(
    file("lsetxattr",             189,      6, named(k_cwd, 0, k_write, k_no)), ChangeForm::set_xattr),
    carried_out(
    file("removexattr",           197,     14, named(k_cwd, 0, k_write, k_yes)), ChangeForm::remove_xattr),
    carried_out(
    file("lremovexattr",          198,     15, named(k_cwd, 0, k_write, k_no)), ChangeForm::remove_xattr),
    carried_out(
    file("setxattrat",            463,    463, at_flags(0, 1, k_write, 2)), ChangeForm::set_xattr_at),
    carried_out(
    file("removexattrat",         466,    466, at_flags(0, 1, k_write, 2)), ChangeForm::remove_xattr_at),
    file("file_setattr",          469,    469, at_flags(0, 1, k_write, 4)),
    carried_out(
    file("utime",                 132, k_absent, named(k_cwd, 0, k_write, k_yes)), ChangeForm::set_times_old),
    carried_out(
    file("utimes",                235, k_absent, named(k_cwd, 0, k_write, k_yes)), ChangeForm::set_times_micro),
    carried_out(
    file("futimesat",             261, k_absent, with_null_on_dirfd(named(0, 1, k_write, k_yes))),
         ChangeForm::set_times_micro),
    sent_as(judged("rt_sigqueueinfo",     129,    138, Judge::target_process), SignalForm::queued),
    sent_as(judged("rt_tgsigqueueinfo",   297,    240, Judge::target_process), SignalForm::queued_thread),
    judged("pidfd_send_signal",   424,    424, Judge::target_pidfd),

    // Notified: the file calls, execution, connections, and the calls on
    // other processes.
    with_open_form(
    file("openat",                257,     56, opened(0, 1, 2)), OpenForm::flags_then_mode),
    with_open_how(
    file("openat2",               437,    437, opened(0, 1, 2)), 2),
    with_open_form(
    file("open",                    2, k_absent, opened(k_cwd, 0, 1)), OpenForm::flags_then_mode),
    with_open_form(
    file("creat",                  85, k_absent, named(k_cwd, 0, k_write, k_yes)), OpenForm::create),
    file("statx",                 332,    291, at_flags(0, 1, k_stat, 2)),
    file("newfstatat",            262,     79, at_flags(0, 1, k_stat, 3)),
    file("stat",                    4, k_absent, named(k_cwd, 0, k_stat, k_yes)),
    file("lstat",                   6, k_absent, named(k_cwd, 0, k_stat, k_no)),
    file("access",                 21, k_absent, probed(k_cwd, 0, 1, k_yes)),
    file("faccessat",             269,     48, probed(0, 1, 2, k_yes)),
    file("faccessat2",            439,    439, probed_at_flags(0, 1, 2, 3)),
    file("readlinkat",            267,     78, with_empty(named(0, 1, k_stat, k_no), EmptyPath::acts_on_dirfd)),
    file("readlink",               89, k_absent, named(k_cwd, 0, k_stat, k_no)),
    carried_out(
    file("mkdirat",               258,     34, named(0, 1, k_write, k_no)), ChangeForm::make_directory),
    carried_out(
    file("mkdir",                  83, k_absent, named(k_cwd, 0, k_write, k_no)), ChangeForm::make_directory),
    carried_out(
    file("unlinkat",              263,     35, named(0, 1, k_delete, k_no)), ChangeForm::remove_at),
    carried_out(
    file("unlink",                 87, k_absent, named(k_cwd, 0, k_delete, k_no)), ChangeForm::remove_file),
    carried_out(
    file("rmdir",                  84, k_absent, named(k_cwd, 0, k_delete, k_no)), ChangeForm::remove_directory),
    carried_out(
    file("renameat",              264,     38, named(0, 1, k_delete, k_no), named(2, 3, k_delete, k_no)),
         ChangeForm::rename),
    carried_out(
    file("renameat2",             316,    276, named(0, 1, k_delete, k_no), named(2, 3, k_delete, k_no)),
         ChangeForm::rename_flags),
    carried_out(
    file("rename",                 82, k_absent, named(k_cwd, 0, k_delete, k_no), named(k_cwd, 1, k_delete, k_no)),
         ChangeForm::rename),
    // The source of a link is followed whatever AT_SYMLINK_FOLLOW says;
    // only AT_EMPTY_PATH is read.
    carried_out(
    file("linkat",                265,     37,
         with_empty(named(0, 1, k_write, k_yes), EmptyPath::acts_on_dirfd_with_empty_flag, 4),
         named(2, 3, k_write, k_no)), ChangeForm::link_at),
    carried_out(
    file("link",                   86, k_absent, named(k_cwd, 0, k_write, k_yes), named(k_cwd, 1, k_write, k_no)),
         ChangeForm::link),
    // The new link; the text it will hold is not judged.
    carried_out(
    file("symlinkat",             266,     36, named(1, 2, k_write, k_no)), ChangeForm::symlink),
    carried_out(
    file("symlink",                88, k_absent, named(k_cwd, 1, k_write, k_no)), ChangeForm::symlink),
    carried_out(
    file("fchmodat",              268,     53, named(0, 1, k_write, k_yes)), ChangeForm::change_mode),
    carried_out(
    file("fchmodat2",             452,    452, named(0, 1, k_write, k_yes)), ChangeForm::change_mode_at),
    carried_out(
    file("chmod",                  90, k_absent, named(k_cwd, 0, k_write, k_yes)), ChangeForm::change_mode),
    carried_out(
    file("fchownat",              260,     54, at_flags(0, 1, k_write, 4)), ChangeForm::change_owner_at),
    carried_out(
    file("chown",                  92, k_absent, named(k_cwd, 0, k_write, k_yes)), ChangeForm::change_owner),
    carried_out(
    file("lchown",                 94, k_absent, named(k_cwd, 0, k_write, k_no)), ChangeForm::change_owner),
    carried_out(
    file("truncate",               76,     45, named(k_cwd, 0, k_write, k_yes)), ChangeForm::truncate),
    // A device node opens raw devices that no path rule ever sees.
    carried_out(with_device_mode(
    file("mknodat",               259,     33, named(0, 1, k_write, k_no)), 2), ChangeForm::make_node),
    carried_out(with_device_mode(
    file("mknod",                 133, k_absent, named(k_cwd, 0, k_write, k_no)), 1), ChangeForm::make_node),
    carried_out(
    file("utimensat",             280,     88, with_null_on_dirfd(at_flags(0, 1, k_write, 3))), ChangeForm::set_times),
    file("execve",                 59,    221, named(k_cwd, 0, k_exec, k_yes)),
    file("execveat",              322,    281, at_flags(0, 1, k_exec, 4)),
    judged("connect",              42,    203, Judge::connect),
    judged("sendto",               44,    206, Judge::sendto),
    judged("ptrace",              101,    117, Judge::refuse),
    judged("process_vm_readv",    310,    270, Judge::refuse),
    judged("process_vm_writev",   311,    271, Judge::refuse),
    sent_as(judged("kill",                 62,    129, Judge::target_process), SignalForm::process),
    sent_as(judged("tkill",               200,    130, Judge::target_process), SignalForm::thread),
    sent_as(judged("tgkill",              234,    131, Judge::target_process), SignalForm::group_thread),

    // Notified: calls that reveal whether a path exists, or start relative
    // paths there (chdir), judged as looking at metadata.
    file("chdir",                  80,     49, named(k_cwd, 0, k_stat, k_yes)),
    file("statfs",                137,     43, named(k_cwd, 0, k_stat, k_yes)),
    file("getxattr",              191,      8, named(k_cwd, 0, k_stat, k_yes)),
    file("lgetxattr",             192,      9, named(k_cwd, 0, k_stat, k_no)),
    file("listxattr",             194,     11, named(k_cwd, 0, k_stat, k_yes)),
    file("llistxattr",            195,     12, named(k_cwd, 0, k_stat, k_no)),
    file("getxattrat",            464,    464, at_flags(0, 1, k_stat, 2)),
    file("listxattrat",           465,    465, at_flags(0, 1, k_stat, 2)),
    // IN_DONT_FOLLOW and AT_SYMLINK_FOLLOW are not read: both the link and
    // where it leads are judged.
    file("inotify_add_watch",     254,     27, named(k_cwd, 1, k_stat, k_yes)),
    file("name_to_handle_at",     303,    264,
         with_empty(named(0, 1, k_stat, k_yes), EmptyPath::acts_on_dirfd_with_empty_flag, 4)),

    // Notified: changes through a descriptor, which the kernel allows
    // through one open for reading.
    judged("fchmod",               91,     52, Judge::descriptor_write),
    judged("fchown",               93,     55, Judge::descriptor_write),
    judged("fsetxattr",           190,      7, Judge::descriptor_write),
    judged("fremovexattr",        199,     16, Judge::descriptor_write),

    // Notified: a local socket's name is a file it creates; a pidfd's
    // process; inter-process objects, of which the tree reaches only those
    // it made.
    judged("bind",                 49,    200, Judge::bind),
    judged("process_mrelease",    448,    448, Judge::target_pidfd),
    ipc("shmget",                  29,    194, Judge::ipc_get, IpcKind::shm),
    ipc("semget",                  64,    190, Judge::ipc_get, IpcKind::sem),
    ipc("msgget",                  68,    186, Judge::ipc_get, IpcKind::msg),
    ipc("shmat",                   30,    196, Judge::ipc_id, IpcKind::shm),
    ipc("shmctl",                  31,    195, Judge::ipc_id, IpcKind::shm, 1),
    ipc("semop",                   65,    193, Judge::ipc_id, IpcKind::sem),
    ipc("semtimedop",             220,    192, Judge::ipc_id, IpcKind::sem),
    ipc("semctl",                  66,    191, Judge::ipc_id, IpcKind::sem, 2),
    ipc("msgsnd",                  69,    189, Judge::ipc_id, IpcKind::msg),
    ipc("msgrcv",                  70,    188, Judge::ipc_id, IpcKind::msg),
    ipc("msgctl",                  71,    187, Judge::ipc_id, IpcKind::msg, 1),
    judged("mq_open",             240,    180, Judge::mq_open),
    judged("mq_unlink",           241,    181, Judge::mq_unlink),

    // Notified and let through: after them a process may no longer have
    // the supervisor's ids, groups or capabilities, which opens made on its
    // behalf must not exceed.
    judged("setuid",              105,    146, Judge::credentials),
    judged("setgid",              106,    144, Judge::credentials),
    judged("setreuid",            113,    145, Judge::credentials),
    judged("setregid",            114,    143, Judge::credentials),
    judged("setgroups",           116,    159, Judge::credentials),
    judged("setresuid",           117,    147, Judge::credentials),
    judged("setresgid",           119,    149, Judge::credentials),
    judged("setfsuid",            122,    151, Judge::credentials),
    judged("setfsgid",            123,    152, Judge::credentials),
    judged("capset",              126,     91, Judge::credentials),
};
// clang-format on

constexpr size_t k_call_count = sizeof(k_calls) / sizeof(k_calls[0]);

namespace {

using CallIndex = std::array<uint8_t, k_nr_limit>;  // row + 1; 0: none

constexpr CallIndex make_index(Arch arch) {
    CallIndex index{};
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr != k_absent) index[static_cast<size_t>(nr)] = static_cast<uint8_t>(i + 1);
    }
    return index;
}

// Every number of a build is named once, below the limit, and a row index
// fits the index's entries.
constexpr bool are_numbers_distinct(Arch arch) {
    bool seen[k_nr_limit] = {};
    for (size_t i = 0; i < k_call_count; ++i) {
        int nr = call_number(k_calls[i], arch);
        if (nr == k_absent) continue;
        if (nr < 0 || nr >= k_nr_limit || seen[nr]) return false;
        seen[nr] = true;
    }
    return k_call_count < 255;
}
static_assert(are_numbers_distinct(Arch::x86_64), "x86-64 numbers of the call table");
static_assert(are_numbers_distinct(Arch::aarch64), "AArch64 numbers of the call table");

constexpr CallIndex k_index[] = {make_index(Arch::x86_64), make_index(Arch::aarch64)};

}  // namespace

const CallRow* find_call(Arch arch, long nr) {
    if (nr < 0 || nr >= k_nr_limit) return nullptr;
    uint8_t at = k_index[static_cast<int>(arch)][static_cast<size_t>(nr)];
    return at == 0 ? nullptr : &k_calls[at - 1];
}

const CallRow* find_call_by_name(const char* name) {
    for (size_t i = 0; i < k_call_count; ++i) {
        if (strcmp(k_calls[i].name, name) == 0) return &k_calls[i];
    }
    return nullptr;
}

int native_number_of(const char* name) {
    const CallRow* row = find_call_by_name(name);
    return row == nullptr ? k_absent : call_number(*row, k_native_arch);
}

Outcome decide_by_args(const ArgRules& rules, const uint64_t* args) {
    for (uint8_t i = 0; i < rules.clause_count; ++i) {
        const ArgClause& clause = rules.clauses[i];
        bool holds = true;
        for (uint8_t c = 0; c < clause.cond_count && holds; ++c) {
            const ArgCond& cond = clause.conds[c];
            const uint32_t word = static_cast<uint32_t>(args[cond.arg]);
            switch (cond.op) {
            case CondOp::equal: holds = (word & cond.mask) == cond.value; break;
            case CondOp::not_equal: holds = (word & cond.mask) != cond.value; break;
            case CondOp::any_bit: holds = (word & cond.mask) != 0; break;
            case CondOp::no_bit: holds = (word & cond.mask) == 0; break;
            }
        }
        if (holds) return clause.outcome;
    }
    return rules.otherwise;
}
