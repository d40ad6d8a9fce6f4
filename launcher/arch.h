// Everything that differs between the x86-64 and the AArch64 build lives in
// this header: system-call numbers, the trapped-call table, the O_NOFOLLOW bit
// and the number of the seccomp call. No other file tests the architecture.
//
// Both columns are always compiled in so that tests on either host can check
// the other build's table; `native_nr` picks the column of the build.
#pragma once

#include <array>
#include <cstddef>

// One entry per trapped call, in the order of the filter's comparison chain.
enum CallId : int {
    CALL_OPENAT,
    CALL_OPENAT2,
    CALL_OPEN,
    CALL_CREAT,
    CALL_STATX,
    CALL_NEWFSTATAT,
    CALL_STAT,
    CALL_LSTAT,
    CALL_ACCESS,
    CALL_FACCESSAT,
    CALL_FACCESSAT2,
    CALL_READLINKAT,
    CALL_READLINK,
    CALL_MKDIRAT,
    CALL_MKDIR,
    CALL_UNLINKAT,
    CALL_UNLINK,
    CALL_RMDIR,
    CALL_RENAMEAT,
    CALL_RENAMEAT2,
    CALL_RENAME,
    CALL_LINKAT,
    CALL_LINK,
    CALL_SYMLINKAT,
    CALL_SYMLINK,
    CALL_FCHMODAT,
    CALL_FCHMODAT2,
    CALL_CHMOD,
    CALL_FCHOWNAT,
    CALL_CHOWN,
    CALL_LCHOWN,
    CALL_TRUNCATE,
    CALL_MKNODAT,
    CALL_MKNOD,
    CALL_UTIMENSAT,
    CALL_EXECVE,
    CALL_EXECVEAT,
    CALL_CONNECT,
    CALL_SENDTO,
    CALL_PTRACE,
    CALL_PROCESS_VM_READV,
    CALL_PROCESS_VM_WRITEV,
    CALL_KILL,
    CALL_TKILL,
    CALL_TGKILL,
    CALL_CHAIN_END,  // the calls above form the comparison chain
    // Trapped ahead of the chain: calls that carry destinations, change
    // files or send signals by other means.
    CALL_SENDMSG = CALL_CHAIN_END,
    CALL_SENDMMSG,
    CALL_SETXATTR,
    CALL_LSETXATTR,
    CALL_REMOVEXATTR,
    CALL_LREMOVEXATTR,
    CALL_SETXATTRAT,
    CALL_REMOVEXATTRAT,
    CALL_FILE_SETATTR,
    CALL_UTIME,
    CALL_UTIMES,
    CALL_FUTIMESAT,
    CALL_RT_SIGQUEUEINFO,
    CALL_RT_TGSIGQUEUEINFO,
    CALL_PIDFD_SEND_SIGNAL,
    CALL_COUNT
};

// -1: the architecture has no such call (the legacy path calls on AArch64).
inline constexpr int k_x86_64_nr[CALL_COUNT] = {
    257, 437, 2,   85,  332, 262, 4,   6,   21,  269, 439, 267, 89,  258, 83,
    263, 87,  84,  264, 316, 82,  265, 86,  266, 88,  268, 452, 90,  260, 92,
    94,  76,  259, 133, 280, 59,  322, 42,  44,  101, 310, 311, 62,  200, 234,
    46,  307, 188, 189, 197, 198, 463, 466, 469, 132, 235, 261, 129, 297, 424,
};
inline constexpr int k_aarch64_nr[CALL_COUNT] = {
    56,  437, -1,  -1,  291, 79,  -1,  -1,  -1,  48,  439, 78,  -1,  34,  -1,
    35,  -1,  -1,  38,  276, -1,  37,  -1,  36,  -1,  53,  452, -1,  54,  -1,
    -1,  45,  33,  -1,  88,  221, 281, 203, 206, 117, 270, 271, 129, 130, 131,
    211, 269, 5,   6,   14,  15,  463, 466, 469, -1,  -1,  -1,  138, 240, 424,
};

inline constexpr int k_x86_64_call_count = 45;
inline constexpr int k_aarch64_call_count = 29;
inline constexpr int k_x86_64_extra_count = 15;
inline constexpr int k_aarch64_extra_count = 12;

// Calls refused in the filter itself, with the error they fail with.
struct RefusedCall {
    int x86_64;
    int aarch64;
    int error;
};

// ENOSYS for calls whose absence programs handle by falling back to plain
// calls (io_uring, clone3); EPERM for the ones that change what the
// supervisor sees or reach into it.
inline constexpr int k_enosys = 38;
inline constexpr int k_eperm = 1;
inline constexpr RefusedCall k_refused_calls[] = {
    {425, 425, k_enosys},  // io_uring_setup
    {426, 426, k_enosys},  // io_uring_enter
    {427, 427, k_enosys},  // io_uring_register
    {435, 435, k_enosys},  // clone3
    {438, 438, k_enosys},  // pidfd_getfd
    {312, 272, k_enosys},  // kcmp
    {440, 440, k_enosys},  // process_madvise
    {272, 97, k_eperm},    // unshare
    {308, 268, k_eperm},   // setns
    {165, 40, k_eperm},    // mount
    {166, 39, k_eperm},    // umount2
    {155, 41, k_eperm},    // pivot_root
    {161, 51, k_eperm},    // chroot
    {428, 428, k_eperm},   // open_tree
    {467, 467, k_eperm},   // open_tree_attr
    {429, 429, k_eperm},   // move_mount
    {430, 430, k_eperm},   // fsopen
    {432, 432, k_eperm},   // fsmount
    {433, 433, k_eperm},   // fspick
    {442, 442, k_eperm},   // mount_setattr
    {304, 265, k_eperm},   // open_by_handle_at
};
inline constexpr int k_refused_count = sizeof(k_refused_calls) / sizeof(k_refused_calls[0]);

// Calls whose arguments the filter looks at.
inline constexpr int k_x86_64_nr_clone = 56;
inline constexpr int k_aarch64_nr_clone = 220;
inline constexpr int k_x86_64_nr_ioctl = 16;
inline constexpr int k_aarch64_nr_ioctl = 29;

// The audit architecture of each build's own system-call ABI.
inline constexpr unsigned k_audit_arch_x86_64 = 0xc000003e;
inline constexpr unsigned k_audit_arch_aarch64 = 0xc00000b7;
// x32 calls arrive with the x86-64 architecture and this bit in the number.
inline constexpr unsigned k_x32_syscall_bit = 0x40000000;

inline constexpr unsigned k_x86_64_o_nofollow = 0x20000;
inline constexpr unsigned k_aarch64_o_nofollow = 0x8000;

#if defined(__x86_64__)
inline constexpr const int* k_native_nr = k_x86_64_nr;
inline constexpr int k_native_call_count = k_x86_64_call_count;
inline constexpr int k_native_extra_count = k_x86_64_extra_count;
inline constexpr unsigned k_o_nofollow = k_x86_64_o_nofollow;
inline constexpr long k_nr_seccomp = 317;
inline constexpr bool k_has_legacy_calls = true;
inline constexpr bool k_is_aarch64 = false;
inline constexpr unsigned k_native_audit_arch = k_audit_arch_x86_64;
inline constexpr int k_native_nr_clone = k_x86_64_nr_clone;
inline constexpr int k_native_nr_ioctl = k_x86_64_nr_ioctl;
#elif defined(__aarch64__)
inline constexpr const int* k_native_nr = k_aarch64_nr;
inline constexpr int k_native_call_count = k_aarch64_call_count;
inline constexpr int k_native_extra_count = k_aarch64_extra_count;
inline constexpr unsigned k_o_nofollow = k_aarch64_o_nofollow;
inline constexpr long k_nr_seccomp = 277;
inline constexpr bool k_has_legacy_calls = false;
inline constexpr bool k_is_aarch64 = true;
inline constexpr unsigned k_native_audit_arch = k_audit_arch_aarch64;
inline constexpr int k_native_nr_clone = k_aarch64_nr_clone;
inline constexpr int k_native_nr_ioctl = k_aarch64_nr_ioctl;
#else
#error "sandbox is built for x86-64 and AArch64 only"
#endif

// The build's number for a call. A call the architecture lacks gets a
// distinct negative value so that it can stand as a switch label that no
// notification ever carries (the filter never traps it).
constexpr int native_nr(CallId id) {
    return k_native_nr[id] >= 0 ? k_native_nr[id] : -1000 - static_cast<int>(id);
}

// The numbers a column has for the calls from first to end, in order.
// Returns how many were written.
constexpr int fill_trapped_table(const int* column, int first, int end, int* out) {
    int n = 0;
    for (int id = first; id < end; ++id) {
        if (column[id] >= 0) {
            out[n++] = column[id];
        }
    }
    return n;
}

template <int N>
constexpr std::array<int, N> make_trapped_table(const int* column, int first, int end) {
    std::array<int, N> table{};
    fill_trapped_table(column, first, end, table.data());
    return table;
}

inline constexpr std::array<int, k_x86_64_call_count> k_x86_64_syscalls =
    make_trapped_table<k_x86_64_call_count>(k_x86_64_nr, 0, CALL_CHAIN_END);
inline constexpr std::array<int, k_aarch64_call_count> k_aarch64_syscalls =
    make_trapped_table<k_aarch64_call_count>(k_aarch64_nr, 0, CALL_CHAIN_END);
inline constexpr std::array<int, k_x86_64_extra_count> k_x86_64_extra_calls =
    make_trapped_table<k_x86_64_extra_count>(k_x86_64_nr, CALL_CHAIN_END, CALL_COUNT);
inline constexpr std::array<int, k_aarch64_extra_count> k_aarch64_extra_calls =
    make_trapped_table<k_aarch64_extra_count>(k_aarch64_nr, CALL_CHAIN_END, CALL_COUNT);

// `syscalls`: the comparison chain this build installs, and the calls it
// traps ahead of the chain.
inline constexpr std::array<int, k_native_call_count> syscalls =
    make_trapped_table<k_native_call_count>(k_native_nr, 0, CALL_CHAIN_END);
inline constexpr std::array<int, k_native_extra_count> extra_syscalls =
    make_trapped_table<k_native_extra_count>(k_native_nr, CALL_CHAIN_END, CALL_COUNT);
