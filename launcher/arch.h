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
    CALL_COUNT
};

// -1: the architecture has no such call (the legacy path calls on AArch64).
inline constexpr int k_x86_64_nr[CALL_COUNT] = {
    257, 437, 2,   85,  332, 262, 4,   6,   21,  269, 439, 267, 89,  258, 83,
    263, 87,  84,  264, 316, 82,  265, 86,  266, 88,  268, 452, 90,  260, 92,
    94,  76,  259, 133, 280, 59,  322, 42,  44,  101, 310, 311, 62,  200, 234,
};
inline constexpr int k_aarch64_nr[CALL_COUNT] = {
    56,  437, -1,  -1,  291, 79,  -1,  -1,  -1,  48,  439, 78,  -1,  34,  -1,
    35,  -1,  -1,  38,  276, -1,  37,  -1,  36,  -1,  53,  452, -1,  54,  -1,
    -1,  45,  33,  -1,  88,  221, 281, 203, 206, 117, 270, 271, 129, 130, 131,
};

inline constexpr int k_x86_64_call_count = 45;
inline constexpr int k_aarch64_call_count = 29;

inline constexpr unsigned k_x86_64_o_nofollow = 0x20000;
inline constexpr unsigned k_aarch64_o_nofollow = 0x8000;

#if defined(__x86_64__)
inline constexpr const int* k_native_nr = k_x86_64_nr;
inline constexpr int k_native_call_count = k_x86_64_call_count;
inline constexpr unsigned k_o_nofollow = k_x86_64_o_nofollow;
inline constexpr long k_nr_seccomp = 317;
inline constexpr bool k_has_legacy_calls = true;
#elif defined(__aarch64__)
inline constexpr const int* k_native_nr = k_aarch64_nr;
inline constexpr int k_native_call_count = k_aarch64_call_count;
inline constexpr unsigned k_o_nofollow = k_aarch64_o_nofollow;
inline constexpr long k_nr_seccomp = 277;
inline constexpr bool k_has_legacy_calls = false;
#else
#error "sandbox is built for x86-64 and AArch64 only"
#endif

// The build's number for a call. A call the architecture lacks gets a
// distinct negative value so that it can stand as a switch label that no
// notification ever carries (the filter never traps it).
constexpr int native_nr(CallId id) {
    return k_native_nr[id] >= 0 ? k_native_nr[id] : -1000 - static_cast<int>(id);
}

// The trapped-call table of one column: the numbers of the calls it has, in
// chain order. Returns how many were written.
constexpr int fill_trapped_table(const int* column, int* out) {
    int n = 0;
    for (int id = 0; id < CALL_COUNT; ++id) {
        if (column[id] >= 0) {
            out[n++] = column[id];
        }
    }
    return n;
}

template <int N>
constexpr std::array<int, N> make_trapped_table(const int* column) {
    std::array<int, N> table{};
    fill_trapped_table(column, table.data());
    return table;
}

inline constexpr std::array<int, k_x86_64_call_count> k_x86_64_syscalls =
    make_trapped_table<k_x86_64_call_count>(k_x86_64_nr);
inline constexpr std::array<int, k_aarch64_call_count> k_aarch64_syscalls =
    make_trapped_table<k_aarch64_call_count>(k_aarch64_nr);

// `syscalls`: the table this build installs.
inline constexpr std::array<int, k_native_call_count> syscalls =
    make_trapped_table<k_native_call_count>(k_native_nr);
