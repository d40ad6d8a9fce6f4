#include "base/call_table.h"

#include <string.h>

#include <array>

namespace {

constexpr int8_t k_cwd = k_no_arg;  // no directory argument: AT_FDCWD

constexpr CallRow fail(const char* name, int x86_64, int aarch64, FilterRule rule) {
    CallRow row = {name, x86_64, aarch64};
    row.filter = rule;
    return row;
}

constexpr CallRow fail_if(const char* name, int x86_64, int aarch64, ArgTest test) {
    CallRow row = fail(name, x86_64, aarch64, FilterRule::fail_eperm_if_arg);
    row.arg_test = test;
    return row;
}

constexpr ArgTest any_bit_of(uint8_t arg, uint32_t mask) {
    ArgTest test;
    test.arg = arg;
    test.any_bit = true;
    test.values[0] = mask;
    return test;
}

constexpr ArgTest one_of(uint8_t arg, uint32_t first, uint32_t second) {
    ArgTest test;
    test.arg = arg;
    test.value_count = 2;
    test.values[0] = first;
    test.values[1] = second;
    return test;
}

constexpr CallRow judged(const char* name, int x86_64, int aarch64, Judge judge) {
    CallRow row = {name, x86_64, aarch64};
    row.judge = judge;
    return row;
}

constexpr CallRow file(const char* name, int x86_64, int aarch64, PathArg path) {
    CallRow row = judged(name, x86_64, aarch64, Judge::paths);
    row.path_count = 1;
    row.paths[0] = path;
    return row;
}

// Two paths, judged in this order; a refused first one ends the judgement.
constexpr CallRow file(const char* name, int x86_64, int aarch64, PathArg first, PathArg second) {
    CallRow row = file(name, x86_64, aarch64, first);
    row.path_count = 2;
    row.paths[1] = second;
    return row;
}

constexpr CallRow with_open_how(CallRow row, int8_t arg) {
    row.open_how_arg = arg;
    return row;
}

constexpr CallRow with_device_mode(CallRow row, int8_t arg) {
    row.device_mode_arg = arg;
    return row;
}

constexpr uint32_t k_clone_new_namespaces = 0x7e020000;  // CLONE_NEW* but CLONE_NEWTIME
constexpr uint32_t k_tiocsti = 0x5412;
constexpr uint32_t k_tioclinux = 0x541c;

constexpr Access k_stat = ACCESS_STAT;
constexpr Access k_write = ACCESS_WRITE;
constexpr Access k_delete = ACCESS_DELETE;
constexpr Access k_exec = ACCESS_EXEC;
constexpr Follow k_yes = Follow::always;
constexpr Follow k_no = Follow::never;

}  // namespace

// clang-format off
constexpr CallRow k_calls[] = {
    // Refused in the filter. ENOSYS where programs fall back to plain calls
    // that are trapped; EPERM for what would take the process tree out of
    // the supervisor's view, or reach into other processes.
    //   name                 x86-64  AArch64
    fail("io_uring_setup",        425,    425, FilterRule::fail_enosys),
    fail("io_uring_enter",        426,    426, FilterRule::fail_enosys),
    fail("io_uring_register",     427,    427, FilterRule::fail_enosys),
    fail("clone3",                435,    435, FilterRule::fail_enosys),
    fail("pidfd_getfd",           438,    438, FilterRule::fail_enosys),
    fail("kcmp",                  312,    272, FilterRule::fail_enosys),
    fail("process_madvise",       440,    440, FilterRule::fail_enosys),
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
    // Refused by an argument: clone with namespace flags; ioctl requests
    // that type into the user's terminal.
    fail_if("clone",               56,    220, any_bit_of(0, k_clone_new_namespaces)),
    fail_if("ioctl",               16,     29, one_of(1, k_tiocsti, k_tioclinux)),

    // Notified: destinations in message headers, attribute changes, old
    // time calls and signals sent by other means than kill.
    judged("sendmsg",              46,    211, Judge::sendmsg),
    judged("sendmmsg",            307,    269, Judge::sendmmsg),
    file("setxattr",              188,      5, named(k_cwd, 0, k_write, k_yes)),
    file("lsetxattr",             189,      6, named(k_cwd, 0, k_write, k_no)),
    file("removexattr",           197,     14, named(k_cwd, 0, k_write, k_yes)),
    file("lremovexattr",          198,     15, named(k_cwd, 0, k_write, k_no)),
    file("setxattrat",            463,    463, at_flags(0, 1, k_write, 2)),
    file("removexattrat",         466,    466, at_flags(0, 1, k_write, 2)),
    file("file_setattr",          469,    469, at_flags(0, 1, k_write, 4)),
    file("utime",                 132, k_absent, named(k_cwd, 0, k_write, k_yes)),
    file("utimes",                235, k_absent, named(k_cwd, 0, k_write, k_yes)),
    file("futimesat",             261, k_absent, with_null_on_dirfd(named(0, 1, k_write, k_yes))),
    judged("rt_sigqueueinfo",     129,    138, Judge::signal),
    judged("rt_tgsigqueueinfo",   297,    240, Judge::signal),
    judged("pidfd_send_signal",   424,    424, Judge::pidfd_signal),

    // Notified: the file calls, execution, connections, and the calls on
    // other processes.
    file("openat",                257,     56, opened(0, 1, 2)),
    with_open_how(
    file("openat2",               437,    437, opened(0, 1, 2)), 2),
    file("open",                    2, k_absent, opened(k_cwd, 0, 1)),
    file("creat",                  85, k_absent, named(k_cwd, 0, k_write, k_yes)),
    file("statx",                 332,    291, at_flags(0, 1, k_stat, 2)),
    file("newfstatat",            262,     79, at_flags(0, 1, k_stat, 3)),
    file("stat",                    4, k_absent, named(k_cwd, 0, k_stat, k_yes)),
    file("lstat",                   6, k_absent, named(k_cwd, 0, k_stat, k_no)),
    file("access",                 21, k_absent, probed(k_cwd, 0, 1, k_yes)),
    file("faccessat",             269,     48, probed(0, 1, 2, k_yes)),
    file("faccessat2",            439,    439, probed_at_flags(0, 1, 2, 3)),
    file("readlinkat",            267,     78, with_empty(named(0, 1, k_stat, k_no), EmptyPath::acts_on_dirfd)),
    file("readlink",               89, k_absent, named(k_cwd, 0, k_stat, k_no)),
    file("mkdirat",               258,     34, named(0, 1, k_write, k_no)),
    file("mkdir",                  83, k_absent, named(k_cwd, 0, k_write, k_no)),
    file("unlinkat",              263,     35, named(0, 1, k_delete, k_no)),
    file("unlink",                 87, k_absent, named(k_cwd, 0, k_delete, k_no)),
    file("rmdir",                  84, k_absent, named(k_cwd, 0, k_delete, k_no)),
    file("renameat",              264,     38, named(0, 1, k_delete, k_no), named(2, 3, k_delete, k_no)),
    file("renameat2",             316,    276, named(0, 1, k_delete, k_no), named(2, 3, k_delete, k_no)),
    file("rename",                 82, k_absent, named(k_cwd, 0, k_delete, k_no), named(k_cwd, 1, k_delete, k_no)),
    // The source of a link is followed whatever AT_SYMLINK_FOLLOW says;
    // only AT_EMPTY_PATH is read.
    file("linkat",                265,     37,
         with_empty(named(0, 1, k_write, k_yes), EmptyPath::acts_on_dirfd_with_empty_flag, 4),
         named(2, 3, k_write, k_no)),
    file("link",                   86, k_absent, named(k_cwd, 0, k_write, k_yes), named(k_cwd, 1, k_write, k_no)),
    // The new link; the text it will hold is not judged.
    file("symlinkat",             266,     36, named(1, 2, k_write, k_no)),
    file("symlink",                88, k_absent, named(k_cwd, 1, k_write, k_no)),
    file("fchmodat",              268,     53, named(0, 1, k_write, k_yes)),
    file("fchmodat2",             452,    452, named(0, 1, k_write, k_yes)),
    file("chmod",                  90, k_absent, named(k_cwd, 0, k_write, k_yes)),
    file("fchownat",              260,     54, at_flags(0, 1, k_write, 4)),
    file("chown",                  92, k_absent, named(k_cwd, 0, k_write, k_yes)),
    file("lchown",                 94, k_absent, named(k_cwd, 0, k_write, k_no)),
    file("truncate",               76,     45, named(k_cwd, 0, k_write, k_yes)),
    // A device node opens raw devices that no path rule ever sees.
    with_device_mode(
    file("mknodat",               259,     33, named(0, 1, k_write, k_no)), 2),
    with_device_mode(
    file("mknod",                 133, k_absent, named(k_cwd, 0, k_write, k_no)), 1),
    file("utimensat",             280,     88, with_null_on_dirfd(at_flags(0, 1, k_write, 3))),
    file("execve",                 59,    221, named(k_cwd, 0, k_exec, k_yes)),
    file("execveat",              322,    281, at_flags(0, 1, k_exec, 4)),
    judged("connect",              42,    203, Judge::connect),
    judged("sendto",               44,    206, Judge::sendto),
    judged("ptrace",              101,    117, Judge::refuse),
    judged("process_vm_readv",    310,    270, Judge::refuse),
    judged("process_vm_writev",   311,    271, Judge::refuse),
    judged("kill",                 62,    129, Judge::signal),
    judged("tkill",               200,    130, Judge::signal),
    judged("tgkill",              234,    131, Judge::signal),
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
